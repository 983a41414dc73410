// The workers of the desktop application, each on a thread of its own: the
// analysis (RecoveryThread) and the copy workers that share the progress
// dialog (FileCopyThread, ImageThread, GraphThread). They reach the windows
// only through synchronised calls.
#pragma once

#include <QThread>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/analysis.hpp"
#include "input/card_image.hpp"
#include "output/run.hpp"
#include "output/save.hpp"
#include "ui/copy_progress.hpp"

namespace lk {
struct Engine;
class Input;
class Status;
}  // namespace lk

namespace lk::ui {

class RecoveryThread : public QThread {
    Q_OBJECT
  public:
    RecoveryThread(RecoveryRun& run, QObject* parent) : QThread(parent), run_(run) {}
    AnalysisResult result = AnalysisResult::Failed;

  protected:
    void run() override;

  private:
    RecoveryRun& run_;
};

// The base of the copy workers: the progress hand-over with the dialog.
class CopyThread : public QThread {
    Q_OBJECT
  public:
    CopyThread(TCopyProgress& dialog, Status& status, QObject* parent)
        : QThread(parent), progress(dialog, status) {}
    GuiCopyProgress progress;
};

class FileCopyThread : public CopyThread {
    Q_OBJECT
  public:
    FileCopyThread(RecoveryRun& run, std::vector<SaveItem> list, std::string directory,
                   TCopyProgress& dialog, Status& status, QObject* parent)
        : CopyThread(dialog, status, parent),
          run_(run),
          list_(std::move(list)),
          directory_(std::move(directory)) {}
    SaveOutcome outcome;
    // Reconstruct mode: each file goes through this before it is written.
    WholeFileFilter filter;

  protected:
    void run() override;

  private:
    RecoveryRun& run_;
    std::vector<SaveItem> list_;
    std::string directory_;
};

class ImageThread : public CopyThread {
    Q_OBJECT
  public:
    ImageThread(Input& input, std::string path, TCopyProgress& dialog, Status& status,
                QObject* parent)
        : CopyThread(dialog, status, parent), input_(input), path_(std::move(path)) {}
    DuplicateResult result = DuplicateResult::Failed;

  protected:
    void run() override;

  private:
    Input& input_;
    std::string path_;
};

class GraphThread : public CopyThread {
    Q_OBJECT
  public:
    GraphThread(Input& input, TCopyProgress& dialog, Status& status, QObject* parent)
        : CopyThread(dialog, status, parent), input_(input) {}
    // The sector map; none when cancelled.
    std::optional<std::vector<std::uint8_t>> map;

  protected:
    void run() override;

  private:
    Input& input_;
};

}  // namespace lk::ui

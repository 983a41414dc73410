// Thumbnails of the file list: the worker that renders the items the list
// draws (ThumbThread), its queue and generation counter, the image list with
// its built-in images and recycled slots, and the pictures the desktop draws
// for it (its image readers, file-type icons, the grade mark).
#pragma once

#include <QPixmap>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <set>
#include <vector>

#include "input/temp_names.hpp"
#include "preview/render.hpp"
#include "preview/thumbnail_slots.hpp"

class QListWidgetItem;

namespace lk {
struct Engine;
struct dir_t;
}  // namespace lk

namespace lk::ui {

// The thumbnail image list: the six built-in images, then thumbnails in
// slots that are recycled 16 at a time, least recently used first, once it
// holds `capacity` of them.
class TImageList {
  public:
    TImageList(std::vector<QPixmap> builtin, int capacity);

    const QPixmap& at(int index) const { return images_[static_cast<std::size_t>(index)]; }
    int count() const { return static_cast<int>(images_.size()); }
    // Adds a thumbnail; -1 when there is no room at all. `recycled`
    // receives the slots whose images are gone to make room.
    int Add(const QPixmap& picture, std::vector<int>& recycled);
    void Touch(int index) { slots_.Touch(index); }
    // Only the built-in images remain.
    void Reset();
    // The built-in images drawn again (their captions follow the language).
    void ReplaceBuiltin(std::vector<QPixmap> builtin);

  private:
    std::vector<QPixmap> images_;
    ThumbnailSlots slots_;
};

// The thumbnail worker: renders the queued items one at a time, below normal
// priority, and suspends itself when the queue is empty or a stop is asked.
class ThumbThread : public QThread {
    Q_OBJECT
  public:
    // What the worker makes of one record (RenderPreview by default).
    using Render = std::function<Preview(const dir_t& record)>;
    // Hands a result to the GUI thread (called there, synchronously), with
    // the generation the worker took the item in.
    using Deliver = std::function<void(QListWidgetItem* item, const dir_t* record, int generation,
                                       Preview& preview)>;

    ThumbThread(Deliver deliver, QObject* parent);
    ~ThumbThread() override;

    // The engine whose records are rendered and the box in pixels; only
    // while the worker is idle.
    void SetEngine(Engine* engine, int box);
    // Tests replace the rendering.
    void SetRender(Render render) { custom_render_ = std::move(render); }

    // The queue (GUI thread). A request for an item already queued is
    // ignored; a request wakes the worker.
    void Request(QListWidgetItem* item, const dir_t* record);
    void ClearQueue();
    bool queued(const QListWidgetItem* item) const;
    // The list's contents change: the generation counter advances and the
    // queue empties, together, so that no item of the old list is taken
    // with the new generation.
    void NewContents();
    int generation() const { return generation_.load(); }

    // Idle: suspended, holding no record.
    bool idle() const { return idle_.load(); }
    // Idle with nothing queued: every request made so far is answered.
    bool drained() const;
    // Makes the worker idle and empties the queue; the failed set is
    // cleared when `reset` (a new analysis or catalogue).
    void Settle(bool reset);
    // Ends the thread (the window closes).
    void Terminate();

  protected:
    void run() override;

  private:
    struct Entry {
        QListWidgetItem* item;
        const dir_t* record;
    };
    Preview render(const dir_t& record, std::stop_token stop);
    bool stopping() const;

    Deliver deliver_;
    Render custom_render_;
    Engine* engine_ = nullptr;
    int box_ = 100;
    mutable std::mutex lock_;  // the queue and the wake-up
    std::condition_variable wake_;
    std::deque<Entry> queue_;
    const QListWidgetItem* rendering_ = nullptr;  // taken from the queue, not yet delivered
    std::atomic<int> generation_{0};
    std::atomic<bool> idle_{true};
    std::atomic<bool> stop_{false};
    // Stops the read of the picture being rendered; a fresh one once settled.
    // Under lock_.
    std::stop_source reads_;
    std::atomic<bool> terminating_{false};
    // Start clusters whose rendering raised an exception: not tried again
    // until the views are reset. Worker thread only (cleared while idle).
    std::set<std::uint32_t> failed_;
    // The worker's own services: the desktop's readers, their copies, the
    // raw decoder's dumps.
    ImageReaders readers_;
    TempNames temp_names_;
    PpmDumps dumps_;
};

// The desktop's image readers (Qt's image formats) by file extension.
ImageReaders QtImageReaders();

// A thumbnail of the previews' box as a pixmap for the device pixel ratio,
// with the grade's mark drawn on a picture that is not complete: a coloured
// frame and the share that decoded (or a cross), so that it stands out.
QPixmap ThumbnailPixmap(const BgrImage& picture, const PictureGrade& grade, qreal dpr);

// The file type's icon for a name, centred on a framed thumbnail box.
QPixmap TypeIconPixmap(const QString& name, qreal dpr);

}  // namespace lk::ui

// The main window (TMainForm): the tree of recovered directories, the files
// of the chosen one, and the commands: analyse, duplicate the card, graph the
// input, save. It owns the input, the engine of the last analysis and every
// other window, and the order in which they start and end.
#pragma once

#include <QListWidget>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QTemporaryDir>
#include <QTranslator>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/reporter.hpp"
#include "base/status.hpp"
#include "engine/options.hpp"
#include "formats/signatures.hpp"
#include "input/input.hpp"
#include "input/temp_names.hpp"
#include "lang/language.hpp"
#include "output/run.hpp"
#include "output/save.hpp"
#include "preview/render.hpp"
#include "ui/save_dialog.hpp"
#include "ui/window_texts.hpp"

class QAction;
class QMimeData;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QSplitter;
class QStackedWidget;
class QToolBar;
class QTreeWidgetItem;

namespace lk {
struct Engine;
struct dir_t;
}  // namespace lk

namespace lk::ui {

class TAskDrive;
class TCopyProgress;
class TGraphBox;
class TMainForm;
class TSizeForm;
class TImageList;
class ThumbThread;
class TWaitSize;
class Tstform;
class CopyThread;
class RecoveryThread;

// The engine's front end: every call from the analysis worker becomes a
// synchronised call into the windows.
class GuiReporter final : public Reporter {
  public:
    explicit GuiReporter(TMainForm& form) : form_(form) {}
    void status_text(std::uint32_t code, const std::string& text) override;
    void notify(std::uint32_t code) override;
    std::uint64_t ask_card_parameters(CardParameters& params) override;
    void message(MessageKind kind, const std::string& caption, const std::string& text) override;
    // Trace lines go to standard output, as they always have; no window shows them.
    void trace(const std::string& line) override;

  private:
    TMainForm& form_;
};

// The file list: large icons, several selected at once, and dragging the
// selected items out as files.
class TFileList : public QListWidget {
    Q_OBJECT
  public:
    explicit TFileList(TMainForm& form, QWidget* parent);
    // A drag begins once the pointer is 10 pixels away from where the button
    // went down, along either axis.
    static bool DragDistanceReached(QPoint down, QPoint now);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // Return opens the current item (a folder, or a file in the desktop's
    // application); Backspace and Alt+Up go to the folder above.
    void keyPressEvent(QKeyEvent* event) override;
    void startDrag(Qt::DropActions actions) override;
    // Before each paint the thumbnail queue is emptied (unless dates are
    // being collected): the paint asks again for exactly the visible items.
    void paintEvent(QPaintEvent* event) override;

  private:
    TMainForm& form_;
    QPoint down_;
    bool pressed_ = false;
};

// The details view: one row per item with its size, the date the picture
// was taken, its state (live, deleted, lost, carved; partial, guessed) and
// its grade. Keys and drags as in the file list.
class TDetailsList : public QTreeWidget {
    Q_OBJECT
  public:
    TDetailsList(TMainForm& form, QWidget* parent);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions actions) override;

  private:
    TMainForm& form_;
    QPoint down_;
    bool pressed_ = false;
};

// The question after an analysis outside expert mode: try again in expert mode?
class TRerunQuestion : public QWidget {
    Q_OBJECT
  public:
    explicit TRerunQuestion(QWidget* parent);
    void ShowBeside(QWidget* main);
  signals:
    void yes();

  private:
    QLabel* text_;
};

// The thumbnails' side in the icons view: as drawn at first, and the zoom's
// bounds (thumbnails are made at the largest and scaled down).
inline constexpr int kDefaultIconSide = 112;
inline constexpr int kMinIconSide = 64;

// The language of a user whose locale names none.
inline constexpr LangId kEnglishUnitedStates = 0x409;

class TMainForm : public QMainWindow, public LanguageView {
    Q_OBJECT
  public:
    // include_all: "-L" was given. file: an image file named on the command
    // line, preselected in the input dialog. user_language: the user's
    // language (from the locale), applied when the window is first shown;
    // languages: where the language files and the help pages are found.
    explicit TMainForm(bool include_all = false, const QString& file = {},
                       LangId user_language = kEnglishUnitedStates,
                       LanguageSources languages = {program_directory()});
    ~TMainForm() override;

    // Start-up, as the first show and activation do: language, signature
    // file, then (after 1 ms) the input dialog and the first analysis.
    void StartAnalysis(bool ask);

    // The status callback, on the GUI thread: text lines go to the status
    // window; 'st0B' and 'st0C' fill the views and end the status window.
    void StatusCallback(std::uint32_t code, const std::string& text);
    std::uint64_t AskCardParameters(CardParameters& p);

    // The actions.
    void acAnalyzeExecute();
    void acImageExecute();
    void acGraphExecute();
    void acSaveExecute();
    void acSaveAllExecute();
    void acReconstructExecute();
    void acSelectAllExecute();
    void acSortByDateExecute();
    void acHelpExecute();
    void acAboutExecute();
    // The enable rules, run whenever the selection or the state changes.
    void UpdateActions();
    bool acSaveUpdate() const;
    bool acReconstructUpdate() const;
    bool acSortByDateUpdate() const;

    void FilesDblClick(QListWidgetItem* item);
    // Opens a record as a double click does: a folder is shown, a file opened.
    void OpenRecord(const dir_t* record);
    // Shows the folder above the one shown (the tree's parent node).
    void GoUp();
    // The views: thumbnails (icons) or one row per item (details).
    enum class View { Icons, Details };
    void SetView(View view);
    View view() const { return view_; }
    // The thumbnails' side in the icons view, in pixels (zoom).
    void SetIconSide(int side);
    int icon_side() const { return icon_side_; }
    // The state words of an item: live, deleted, lost or carved, then
    // partial or guessed when that applies.
    static QString StateText(const dir_t& record);
    // The list asks for an item's image as it draws it: a record with its
    // image keeps it (used now), others are queued for the thumbnail worker.
    void ImageRequest(QListWidgetItem* item);
    // A thumbnail worker's result, on the GUI thread.
    void ShowThumbnail(QListWidgetItem* item, const dir_t* record, int generation, Preview& preview);
    // The tooltip: "Date: ..." when the date is known, the size, and the
    // grade of a graded picture.
    static QString ItemToolTip(const dir_t& record);
    // Starts a drag of the selected items: they are written on demand into
    // a temporary folder that goes away when the program ends.
    void StartDrag();
    bool drag_allowed() const;
    // The data of a drag of the selected items: they are written into a
    // folder of their own when the drop target first asks for them.
    QMimeData* DragData();

    // The backup question is due: a drive is open and no card image of it
    // has been made.
    static bool BackupQuestionDue(bool input_open, bool input_is_drive, bool image_made);

    // For the tests and the screenshots.
    Input& input() { return input_; }
    Status& status() { return status_; }
    Engine* engine() { return run_.engine(); }
    TAskDrive& ask_drive() { return *AskDrive; }
    TSizeForm& size_form() { return *SizeForm; }
    Tstform& status_form() { return *stform; }
    TGraphBox& graph_box() { return *GraphBox; }
    TCopyProgress& copy_progress() { return *CopyProgress; }
    TRerunQuestion& rerun_question() { return *rerun_; }
    QTreeWidget* dirs() const { return Dirs; }
    QListWidget* files() const { return Files; }
    QTreeWidget* details() const { return Details; }
    // The page shown before any card has been analysed.
    QWidget* empty_page() const { return EmptyPage; }
    QLabel* status_counts() const { return StatusCounts; }
    bool analysis_running() const;
    bool busy() const { return busy_; }
    bool card_image_made() const { return card_image_made_; }
    const Language& language() const { return language_; }
    // Items of the list as catalogue records.
    const dir_t* item_record(const QListWidgetItem* item) const;
    // The image list index an item shows.
    static int item_image(const QListWidgetItem* item);
    ThumbThread& thumbnails() { return *thumbs_; }
    TImageList& image_list() { return *image_list_; }
    // How many thumbnails the image list holds before it recycles slots.
    void set_thumbnail_capacity(int capacity) { thumbnail_capacity_ = capacity; }
    bool collecting_dates() const { return collecting_dates_; }

    // How a fatal error ends the program (a language file that cannot be
    // read): with its exit code, once the event loop runs. Replaceable in tests.
    std::function<void(int code)> end_program;

    // Languages: switching, as the Language menu does, and the help page of
    // the language at a help context.
    void LanguageClick(LangId id);
    QUrl HelpUrl(int context) const;
    void ShowHelp(int context);

    // LanguageView: every window in the language applied; the Language menu
    // and the help file after a switch.
    void translate_all(const Language& language) override;
    void language_menu_changed(const LanguageMenu& menu) override;

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QAction* action(const char* name, const char* caption, const QKeySequence& shortcut,
                    const char* hint, void (TMainForm::*execute)());
    void create_menus();
    void ResetViews();
    void FillViews();
    void add_tree_children(QTreeWidgetItem* node, const dir_t& dir, int depth);
    void ShowDirectory(const dir_t* dir);
    void FillDetails(const dir_t* dir);
    // The status bar's counts: the items shown and the selection's size.
    void UpdateStatusBar();
    void SaveSettings();
    void RestoreSettings();
    void DirsChange();
    void AfterAnalysis();
    bool ensure_input();
    void start_save(bool selected_only, bool reconstruct = false);
    void set_item_image(QListWidgetItem* item, int image);
    void ensure_image_list();
    // After a language change: the built-in images with captions are drawn
    // again and the file list's tooltips composed again.
    void RetranslateFileList();
    // Forgets the images of recycled slots, in the catalogue and the list.
    void drop_images(const std::vector<int>& recycled);
    dir_t* shown_directory();
    void run_copy(CopyThread* worker, const QString& caption,
                  std::function<void(CopyThread&)> done);
    void set_busy(bool busy);
    std::vector<const dir_t*> selected_records() const;
    void close_down();
    bool SelectLanguage(LangId id);
    // The window's title: the program's name, in expert mode with "Expert".
    void UpdateTitle();
    // The English original of a text the windows show.
    QString EnglishOf(const QString& text) const;
    // The texts set in code rather than by the translator of the windows:
    // the details' headings, the empty page, the mnemonics.
    void RetranslateOwnTexts();
    void SetHelpContexts();

    GuiReporter reporter_{*this};
    // The analysis, its input and its status, as every front end runs one.
    RecoveryRun run_{&reporter_};
    Status& status_ = run_.status();
    Input& input_ = run_.input();
    AnalysisOptions options_;
    SignatureTable signatures_;
    QPointer<RecoveryThread> recovery_;
    QPointer<CopyThread> copy_;
    bool include_all_;
    QString file_arg_;
    bool first_shown_ = false;
    bool analysis_finished_ = false;
    bool card_image_made_ = false;
    bool input_is_drive_ = false;
    bool busy_ = false;
    bool closed_ = false;
    OutputDirectory output_dir_;
    TempNames temp_names_;
    std::vector<std::string> temp_files_;
    std::unique_ptr<QTemporaryDir> drag_dir_;
    std::unique_ptr<TImageList> image_list_;  // built-in images and thumbnails
    int thumbnail_capacity_ = 0;              // 0: by memory (see ensure_image_list)
    ThumbThread* thumbs_;
    bool collecting_dates_ = false;
    int drag_count_ = 0;
    std::vector<SaveFailure> drag_failures_;

    // The windows, created in the order of the start-up.
    std::unique_ptr<TWaitSize> WaitSize;
    std::unique_ptr<TSizeForm> SizeForm;
    TAskDrive* AskDrive;
    std::unique_ptr<Tstform> stform;
    TCopyProgress* CopyProgress;
    TRerunQuestion* rerun_;
    TGraphBox* GraphBox;

    QTreeWidget* Dirs;
    TFileList* Files;
    TDetailsList* Details;
    QStackedWidget* views_;
    QWidget* EmptyPage;
    QLabel* EmptyText;
    QPushButton* AnalyzeButton;
    QLabel* StatusCounts;
    QSlider* Zoom;
    QToolBar* ToolBar;
    QSplitter* splitter_;
    View view_ = View::Icons;
    int icon_side_ = kDefaultIconSide;
    QMenu* PopupMenu1;
    QAction* acAnalyze;
    QAction* acImage;
    QAction* acGraph;
    QAction* acSave;
    QAction* acSaveAll;
    QAction* acReconstruct;
    QAction* acExit;
    QAction* acSelectAll;
    QAction* acSortByDate;
    QAction* acHelp;
    QAction* acAbout;
    QAction* acIcons;
    QAction* acDetails;
    QAction* acZoomIn;
    QAction* acZoomOut;

    // The language state, the window texts' originals, Qt's own texts (the
    // file dialogs') and the help page of the language.
    LangId user_language_;
    Language language_;
    WindowTranslator translator_;
    QTranslator qt_texts_;
    QMenu* Language1 = nullptr;
    std::filesystem::path help_file_;
};

}  // namespace lk::ui

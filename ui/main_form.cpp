#include "ui/main_form.hpp"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDrag>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QSlider>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QToolBar>
#include <QStyledItemDelegate>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <filesystem>

#include "engine/directories.hpp"
#include "engine/engine.hpp"
#include "input/text.hpp"
#include "output/save.hpp"
#include "output/size_words.hpp"
#include "preview/reconstruct.hpp"
#include "ui/ask_drive.hpp"
#include "ui/builtin_images.hpp"
#include "ui/copy_progress.hpp"
#include "ui/graph_box.hpp"
#include "ui/gui_thread.hpp"
#include "ui/help.hpp"
#include "ui/message_boxes.hpp"
#include "ui/mnemonics.hpp"
#include "ui/qt_text.hpp"
#include "ui/size_form.hpp"
#include "ui/status_form.hpp"
#include "ui/thumbnails.hpp"
#include "ui/wait_size.hpp"
#include "ui/workers.hpp"

#ifndef LK_VERSION
#define LK_VERSION ""
#endif

namespace lk::ui {

namespace {

constexpr int kDragDistance = 10;
constexpr int kRecordRole = Qt::UserRole + 1;
constexpr int kImageRole = Qt::UserRole + 2;  // the image list index an item shows
// The image list holds this much of thumbnails before it recycles slots:
// 1,600 at a device pixel ratio of 1, 400 at 2.
constexpr std::int64_t kImageListBytes = 64ll << 20;

const char* kRerunText =
    "The analysis is finished or has been stopped.\nPlease examine the recovered files. If you are "
    "not "
    "satisfied with the results, you can try to run Lumenkeeper in a special expert mode. Do you "
    "want to "
    "run it again?";
const char* kEmptyText =
    "No card has been analysed yet. Connect the memory card, or have a card image ready, then "
    "analyse it.";
const char* kBackupText =
    "A damaged card may not survive many more readings. Lumenkeeper can copy the whole card into a "
    "card "
    "image file, from which you can recover later without reading the card again.\nDo you want to "
    "create "
    "the card image now?";

// A copy worker's progress that nobody watches (the files of a drag).
class SilentProgress final : public CopyProgress {
  public:
    void hand_over(int, std::uint32_t) override {}
};

// The data of a drag: the selected items as files, written into a folder of
// their own when the drop target first asks for them.
class DragFiles final : public QMimeData {
  public:
    explicit DragFiles(std::function<QList<QUrl>()> write) : write_(std::move(write)) {}
    QStringList formats() const override { return {"text/uri-list"}; }
    bool hasFormat(const QString& mime) const override { return mime == "text/uri-list"; }

  protected:
    QVariant retrieveData(const QString& mime, QMetaType) const override {
        if (mime != "text/uri-list") return {};
        if (!written_) {
            urls_ = write_();
            written_ = true;
        }
        QVariantList list;
        for (const QUrl& url : urls_) list << url;
        return list;
    }

  private:
    std::function<QList<QUrl>()> write_;
    mutable bool written_ = false;
    mutable QList<QUrl> urls_;
};

// The list draws each visible item through this, which first asks for the
// item's image: so only what is drawn is ever rendered.
class TFileDelegate final : public QStyledItemDelegate {
  public:
    TFileDelegate(TMainForm& form, QListWidget* list) : QStyledItemDelegate(list), form_(form), list_(list) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QListWidgetItem* item = list_->item(index.row());
        form_.ImageRequest(item);
        QStyledItemDelegate::paint(painter, option, index);
        if (const dir_t* record = form_.item_record(item)) draw_marks(painter, option, *record);
    }

  private:
    // Marks in the thumbnail's top left corner: a grey cross for a deleted
    // item, an amber half disc for a partial one, a blue question mark for
    // one whose clusters were guessed. (A damaged picture's thumbnail has a
    // frame of its own.)
    void draw_marks(QPainter* p, const QStyleOptionViewItem& option, const dir_t& record) const {
        const QSize icon = list_->iconSize();
        const QRectF at(option.rect.x() + (option.rect.width() - icon.width()) / 2.0 + 2, option.rect.y() + 4,
                        18, 18);
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        QRectF badge = at;
        auto disc = [&](const QColor& colour) {
            p->setPen(QPen(Qt::white, 1.5));
            p->setBrush(colour);
            p->drawEllipse(badge);
        };
        if (is_deleted(record)) {
            disc(QColor(96, 96, 96));
            const QPointF c = badge.center();
            p->setPen(QPen(Qt::white, 2));
            p->drawLine(c + QPointF(-4, -4), c + QPointF(4, 4));
            p->drawLine(c + QPointF(-4, 4), c + QPointF(4, -4));
            badge = badge.translated(20, 0);
        }
        if (record.extent.how == ExtentHow::Partial) {
            disc(QColor(232, 128, 0));
            p->setPen(Qt::NoPen);
            p->setBrush(Qt::white);
            p->drawPie(badge.adjusted(4, 4, -4, -4), 90 * 16, 180 * 16);
        } else if (record.extent.how == ExtentHow::Guessed) {
            disc(QColor(40, 100, 190));
            QFont font = p->font();
            font.setBold(true);
            font.setPixelSize(13);
            p->setFont(font);
            p->setPen(Qt::white);
            p->drawText(badge, Qt::AlignCenter, "?");
        }
        p->restore();
    }

  public:

  private:
    TMainForm& form_;
    QListWidget* list_;
};

// A picture's date as its EXIF block writes it ("2021:06:15 12:34:56"), as
// the language writes dates; any other text as it is.
QString ShownDate(const std::string& exif) {
    const QDateTime when = QDateTime::fromString(Q(exif), "yyyy:MM:dd HH:mm:ss");
    return when.isValid() ? QLocale().toString(when, QLocale::ShortFormat) : Q(exif);
}

// An icon from the desktop's theme, else the style's own.
QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback) {
    const QIcon icon = QIcon::fromTheme(name);
    return icon.isNull() ? QApplication::style()->standardIcon(fallback) : icon;
}

// Sorting moves records: the catalogue's own children are sorted in place.
void sort_children(Engine& e, dir_t& dir, bool by_date, int depth) {
    if (depth > kMaxDirectoryDepth) return;
    // The found-items folder stays the root's last child.
    const bool keep_last = &dir == &e.cat.root && e.cat.found();
    const auto end = keep_last ? dir.children.end() - 1 : dir.children.end();
    // Equal dates (or clusters) keep their order.
    if (by_date)
        std::stable_sort(dir.children.begin(), end,
                         [](const dir_t& a, const dir_t& b) { return a.date_text < b.date_text; });
    else
        std::stable_sort(dir.children.begin(), end, [&e](const dir_t& a, const dir_t& b) {
            return e.first_cluster(a.entry) < e.first_cluster(b.entry);
        });
    for (dir_t& child : dir.children) sort_children(e, child, by_date, depth + 1);
}

void forget_images(dir_t& dir, const std::set<int>& gone, int depth) {
    if (depth > kMaxDirectoryDepth) return;
    for (dir_t& child : dir.children) {
        if (child.has_thumbnail && gone.count(int(child.thumbnail_index))) child.has_thumbnail = false;
        forget_images(child, gone, depth + 1);
    }
}

bool is_volume_label(const dir_t& record) {
    return (record.entry.attr & 0x08) && !record.entry.is_lfn();
}

}  // namespace

// --- GuiReporter ----------------------------------------------------------

void GuiReporter::status_text(std::uint32_t code, const std::string& text) {
    RunOnGuiThread([&] { form_.StatusCallback(code, text); });
}

void GuiReporter::notify(std::uint32_t code) {
    RunOnGuiThread([&] { form_.StatusCallback(code, {}); });
}

std::uint64_t GuiReporter::ask_card_parameters(CardParameters& params) {
    std::uint64_t size = 0;
    RunOnGuiThread([&] { size = form_.AskCardParameters(params); });
    return size;
}

void GuiReporter::message(MessageKind kind, const std::string& caption, const std::string& text) {
    RunOnGuiThread([&] { ShowMessage(kind, caption, text); });
}

void GuiReporter::trace(const std::string& line) {
    std::fputs(line.c_str(), stdout);
}

// --- TFileList ------------------------------------------------------------

TFileList::TFileList(TMainForm& form, QWidget* parent) : QListWidget(parent), form_(form) {}

bool TFileList::DragDistanceReached(QPoint down, QPoint now) {
    return std::abs(now.x() - down.x()) >= kDragDistance ||
           std::abs(now.y() - down.y()) >= kDragDistance;
}

void TFileList::mousePressEvent(QMouseEvent* event) {
    down_ = event->position().toPoint();
    pressed_ = event->button() == Qt::LeftButton || event->button() == Qt::RightButton;
    QListWidget::mousePressEvent(event);
}

// The list's own drag would carry items; the drag of files starts in
// mouseMoveEvent instead. (Drags stay enabled so that pressing on a
// selection keeps it for the drag.)
void TFileList::startDrag(Qt::DropActions) {}

void TFileList::paintEvent(QPaintEvent* event) {
    // A paint of the whole view asks again for everything in it, so the
    // queue starts afresh; a partial one (an item whose thumbnail came in)
    // would drop the requests of the items it does not draw.
    if (!form_.collecting_dates() && event->rect().contains(viewport()->rect()))
        form_.thumbnails().ClearQueue();
    QListWidget::paintEvent(event);
}

void TFileList::keyPressEvent(QKeyEvent* event) {
    const bool up = event->key() == Qt::Key_Backspace ||
                    (event->key() == Qt::Key_Up && (event->modifiers() & Qt::AltModifier));
    if (up) {
        form_.GoUp();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentItem()) {
        form_.OpenRecord(form_.item_record(currentItem()));
        return;
    }
    QListWidget::keyPressEvent(event);
}

void TFileList::mouseMoveEvent(QMouseEvent* event) {
    if (pressed_ && (event->buttons() & (Qt::LeftButton | Qt::RightButton)) &&
        DragDistanceReached(down_, event->position().toPoint()) && form_.drag_allowed()) {
        pressed_ = false;
        form_.StartDrag();
        return;
    }
    QListWidget::mouseMoveEvent(event);
}

// --- TDetailsList ----------------------------------------------------------

TDetailsList::TDetailsList(TMainForm& form, QWidget* parent) : QTreeWidget(parent), form_(form) {
    setObjectName("Details");
    KeepOwnTexts(this);  // file names and figures; the headings are set in code
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setColumnCount(5);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 5; ++column) header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
}

void TDetailsList::keyPressEvent(QKeyEvent* event) {
    const bool up = event->key() == Qt::Key_Backspace ||
                    (event->key() == Qt::Key_Up && (event->modifiers() & Qt::AltModifier));
    if (up) {
        form_.GoUp();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentItem()) {
        form_.OpenRecord(reinterpret_cast<const dir_t*>(currentItem()->data(0, kRecordRole).value<quintptr>()));
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void TDetailsList::mousePressEvent(QMouseEvent* event) {
    down_ = event->position().toPoint();
    pressed_ = event->button() == Qt::LeftButton || event->button() == Qt::RightButton;
    QTreeWidget::mousePressEvent(event);
}

void TDetailsList::startDrag(Qt::DropActions) {}

void TDetailsList::mouseMoveEvent(QMouseEvent* event) {
    if (pressed_ && (event->buttons() & (Qt::LeftButton | Qt::RightButton)) &&
        TFileList::DragDistanceReached(down_, event->position().toPoint()) && form_.drag_allowed()) {
        pressed_ = false;
        form_.StartDrag();
        return;
    }
    QTreeWidget::mouseMoveEvent(event);
}

// --- TRerunQuestion -------------------------------------------------------

TRerunQuestion::TRerunQuestion(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
    setObjectName("RerunQuestion");
    setWindowTitle(T("Please reply"));
    text_ = new QLabel(T(kRerunText), this);
    text_->setObjectName("Label1");
    text_->setWordWrap(true);
    text_->setMinimumWidth(text_->fontMetrics().averageCharWidth() * 50);
    auto* yes = new QPushButton(T("Yes, please try the other approach"), this);
    yes->setObjectName("Yes");
    yes->setToolTip(T("Forget the results and try the expert mode"));
    auto* no = new QPushButton(T("No, thank you"), this);
    no->setObjectName("No");
    no->setToolTip(T("No, I'm satisfied with the results"));
    connect(yes, &QPushButton::clicked, this, [this] {
        hide();
        emit this->yes();
    });
    connect(no, &QPushButton::clicked, this, &QWidget::hide);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(yes);
    layout->addWidget(no);
}

void TRerunQuestion::ShowBeside(QWidget* main) {
    adjustSize();
    const QRect frame = main->frameGeometry();
    QPoint at(frame.right() + 1, frame.top());
    if (const QScreen* screen = main->screen()) {
        const QRect avail = screen->availableGeometry();
        if (at.x() + width() > avail.right())
            at.setX(std::max(avail.right() - width(), avail.left()));
    }
    move(at);
    show();
    raise();
    // It asks: the keyboard goes to it, on its first answer.
    activateWindow();
    if (auto* yes = findChild<QPushButton*>("Yes")) {
        yes->setDefault(true);
        yes->setFocus(Qt::ActiveWindowFocusReason);
    }
}

// --- TMainForm ------------------------------------------------------------

TMainForm::TMainForm(bool include_all, const QString& file, LangId user_language,
                     LanguageSources languages)
    : include_all_(include_all),
      file_arg_(file),
      temp_names_(TempDir()),
      user_language_(user_language),
      language_(std::move(languages), user_language) {
    setObjectName("MainForm");
    UpdateTitle();
    // Room for the folders and five columns of thumbnails at today's font
    // sizes; the size the user leaves it at is kept for the next start.
    resize(1000, 660);

    WaitSize = std::make_unique<TWaitSize>();
    SizeForm = std::make_unique<TSizeForm>();
    AskDrive = new TAskDrive(input_, options_, *SizeForm, *WaitSize, this);
    stform = std::make_unique<Tstform>(status_, this);
    CopyProgress = new TCopyProgress(this);
    rerun_ = new TRerunQuestion(this);
    GraphBox = new TGraphBox(this);
    connect(stform.get(), &Tstform::closed, this, &TMainForm::AfterAnalysis);
    connect(rerun_, &TRerunQuestion::yes, this, [this] {
        AskDrive->set_expert_mode(true);
        SizeForm->set_ignore_fat(true);
        StartAnalysis(false);
    });
    if (!file_arg_.isEmpty()) AskDrive->PreselectFile(file_arg_);

    Dirs = new QTreeWidget(this);
    Dirs->setObjectName("Dirs");
    KeepOwnTexts(Dirs);  // folder names
    Dirs->setHeaderHidden(true);
    Dirs->setSelectionMode(QAbstractItemView::SingleSelection);
    Dirs->setMinimumWidth(110);
    Dirs->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Dirs, &QTreeWidget::currentItemChanged, this, [this] { DirsChange(); });

    views_ = new QStackedWidget(this);
    views_->setObjectName("Views");
    Files = new TFileList(*this, views_);
    Files->setObjectName("Files");
    KeepOwnTexts(Files);  // file names
    Files->setViewMode(QListView::IconMode);
    Files->setResizeMode(QListView::Adjust);
    Files->setMovement(QListView::Static);
    // Names wrap over two lines under their thumbnail; a longer one is
    // whole in its tooltip.
    Files->setWordWrap(true);
    Files->setTextElideMode(Qt::ElideNone);
    Files->setUniformItemSizes(true);
    Files->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Files->setDragEnabled(true);
    Files->setDragDropMode(QAbstractItemView::DragOnly);
    Files->setMinimumSize(200, 200);
    Files->setContextMenuPolicy(Qt::CustomContextMenu);
    Files->setItemDelegate(new TFileDelegate(*this, Files));
    connect(Files, &QListWidget::itemSelectionChanged, this, &TMainForm::UpdateActions);
    connect(Files, &QListWidget::itemDoubleClicked, this, &TMainForm::FilesDblClick);

    Details = new TDetailsList(*this, views_);
    connect(Details, &QTreeWidget::itemSelectionChanged, this, &TMainForm::UpdateActions);
    connect(Details, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { OpenRecord(item ? reinterpret_cast<const dir_t*>(item->data(0, kRecordRole).value<quintptr>()) : nullptr); });

    // Before the first analysis: what to do, and the button that does it.
    EmptyPage = new QWidget(views_);
    EmptyPage->setObjectName("EmptyPage");
    EmptyText = new QLabel(T(kEmptyText), EmptyPage);
    EmptyText->setObjectName("EmptyText");
    EmptyText->setWordWrap(true);
    EmptyText->setAlignment(Qt::AlignCenter);
    AnalyzeButton = new QPushButton(EmptyPage);
    AnalyzeButton->setObjectName("AnalyzeButton");
    connect(AnalyzeButton, &QPushButton::clicked, this, [this] { acAnalyzeExecute(); });
    {
        auto* layout = new QVBoxLayout(EmptyPage);
        layout->addStretch(1);
        layout->addWidget(EmptyText);
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        row->addWidget(AnalyzeButton);
        row->addStretch(1);
        layout->addLayout(row);
        layout->addStretch(2);
    }
    views_->addWidget(EmptyPage);
    views_->addWidget(Files);
    views_->addWidget(Details);
    views_->setCurrentWidget(EmptyPage);

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setObjectName("Splitter1");
    splitter_->setHandleWidth(3);
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(Dirs);
    splitter_->addWidget(views_);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({220, 780});
    setCentralWidget(splitter_);

    acAnalyze = action("acAnalyze", "Analyze drive...", {}, "Analyze a new drive",
                       &TMainForm::acAnalyzeExecute);
    acImage = action("acImage", "Duplicate the card...", QKeySequence(Qt::CTRL | Qt::Key_I),
                     nullptr, &TMainForm::acImageExecute);
    acGraph = action("acGraph", "Graph the input", {}, "Display information graphically",
                     &TMainForm::acGraphExecute);
    acSave = action("acSave", "Save...", QKeySequence(Qt::CTRL | Qt::Key_S), nullptr,
                    &TMainForm::acSaveExecute);
    // Ctrl+W closes a window on this desktop: Save all takes Ctrl+Shift+S.
    acSaveAll = action("acSaveAll", "Save all...", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), nullptr,
                       &TMainForm::acSaveAllExecute);
    acReconstruct = action("acReconstruct", "Reconstruct...", QKeySequence(Qt::CTRL | Qt::Key_R),
                           "Reconstruct invalid JPG image", &TMainForm::acReconstructExecute);
    acExit = action("acExit", "E&xit", QKeySequence::Quit, nullptr, nullptr);
    // Ctrl+Q, and Ctrl+W, which closes the only window.
    acExit->setShortcuts({QKeySequence(QKeySequence::Quit), QKeySequence(QKeySequence::Close)});
    connect(acExit, &QAction::triggered, this, &QWidget::close);
    acSelectAll = action("acSelectAll", "Select all", QKeySequence(Qt::CTRL | Qt::Key_A), nullptr,
                         &TMainForm::acSelectAllExecute);
    acSortByDate =
        action("acSortByDate", "Sort by date", {}, nullptr, &TMainForm::acSortByDateExecute);
    acSortByDate->setCheckable(true);
    acHelp =
        action("acHelp", "&Help", QKeySequence::HelpContents, nullptr, &TMainForm::acHelpExecute);
    acAbout = action("acAbout", "About Lumenkeeper", {}, nullptr, &TMainForm::acAboutExecute);
    acIcons = action("acIcons", "Icons", QKeySequence(Qt::CTRL | Qt::Key_1), nullptr, nullptr);
    acDetails = action("acDetails", "Details", QKeySequence(Qt::CTRL | Qt::Key_2), nullptr, nullptr);
    for (QAction* a : {acIcons, acDetails}) a->setCheckable(true);
    auto* view_group = new QActionGroup(this);
    view_group->addAction(acIcons);
    view_group->addAction(acDetails);
    acIcons->setChecked(true);
    connect(acIcons, &QAction::triggered, this, [this] { SetView(View::Icons); });
    connect(acDetails, &QAction::triggered, this, [this] { SetView(View::Details); });
    acZoomIn = action("acZoomIn", "Zoom in", QKeySequence::ZoomIn, nullptr, nullptr);
    acZoomOut = action("acZoomOut", "Zoom out", QKeySequence::ZoomOut, nullptr, nullptr);
    constexpr int kZoomStep = 16;
    connect(acZoomIn, &QAction::triggered, this, [this] { SetIconSide(icon_side_ + kZoomStep); });
    connect(acZoomOut, &QAction::triggered, this, [this] { SetIconSide(icon_side_ - kZoomStep); });
    // Icons from the desktop's theme, the style's own where it has none.
    acAnalyze->setIcon(ThemeIcon("drive-removable-media", QStyle::SP_DriveFDIcon));
    acSave->setIcon(ThemeIcon("document-save", QStyle::SP_DialogSaveButton));
    acSaveAll->setIcon(ThemeIcon("document-save-all", QStyle::SP_DialogSaveButton));
    acImage->setIcon(ThemeIcon("media-optical", QStyle::SP_DriveHDIcon));
    acGraph->setIcon(ThemeIcon("office-chart-bar", QStyle::SP_FileDialogInfoView));
    acIcons->setIcon(ThemeIcon("view-list-icons", QStyle::SP_FileDialogListView));
    acDetails->setIcon(ThemeIcon("view-list-details", QStyle::SP_FileDialogDetailedView));
    acZoomIn->setIcon(ThemeIcon("zoom-in", QStyle::SP_ArrowUp));
    acZoomOut->setIcon(ThemeIcon("zoom-out", QStyle::SP_ArrowDown));
    acHelp->setIcon(ThemeIcon("help-contents", QStyle::SP_DialogHelpButton));
    create_menus();
    ToolBar = addToolBar(T("Toolbar"));
    ToolBar->setObjectName("ToolBar");
    ToolBar->setMovable(false);
    ToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    ToolBar->addActions({acAnalyze, acSaveAll, acSave});
    ToolBar->addSeparator();
    ToolBar->addActions({acImage, acGraph});
    ToolBar->addSeparator();
    ToolBar->addActions({acIcons, acDetails});
    // The menu bar from the keyboard: F10, as elsewhere on this desktop.
    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10, &QShortcut::activated, this, [this] {
        if (!menuBar()->actions().isEmpty()) {
            menuBar()->setFocus(Qt::MenuBarFocusReason);
            menuBar()->setActiveAction(menuBar()->actions().first());
        }
    });
    SetHelpContexts();
    new ContextHelpKey([this](int context) { ShowHelp(context); }, this);
    // At the first show the event loop has not started yet: the exit waits for it.
    end_program = [this](int code) {
        QTimer::singleShot(0, this, [code] { QCoreApplication::exit(code); });
    };
    statusBar()->setObjectName("StatusBar1");
    StatusCounts = new QLabel(this);
    StatusCounts->setObjectName("StatusCounts");
    statusBar()->addWidget(StatusCounts, 1);
    Zoom = new QSlider(Qt::Horizontal, this);
    Zoom->setObjectName("Zoom");
    Zoom->setRange(kMinIconSide, kThumbnailSide);
    Zoom->setPageStep(16);
    Zoom->setFixedWidth(140);
    connect(Zoom, &QSlider::valueChanged, this, [this](int side) { SetIconSide(side); });
    statusBar()->addPermanentWidget(Zoom);
    thumbs_ = new ThumbThread(
        [this](QListWidgetItem* item, const dir_t* record, int generation, Preview& preview) {
            ShowThumbnail(item, record, generation, preview);
        },
        this);
    RestoreSettings();
    UpdateActions();
}

TMainForm::~TMainForm() {
    // No worker may outlive the windows it reports to.
    close_down();
}

QAction* TMainForm::action(const char* name, const char* caption, const QKeySequence& shortcut,
                           const char* hint, void (TMainForm::*execute)()) {
    auto* a = new QAction(T(caption), this);
    a->setObjectName(name);
    if (!shortcut.isEmpty()) a->setShortcut(shortcut);
    if (hint) {
        a->setToolTip(T(hint));
        a->setStatusTip(T(hint));
    }
    if (execute) connect(a, &QAction::triggered, this, execute);
    addAction(a);
    return a;
}

void TMainForm::create_menus() {
    QMenu* file = menuBar()->addMenu(T("&File"));
    file->setObjectName("File1");
    file->addActions({acAnalyze, acImage, acGraph});
    file->addSeparator();
    file->addActions({acSave, acSaveAll, acReconstruct});
    file->addSeparator();
    file->addAction(acExit);
    QMenu* edit = menuBar()->addMenu(T("&Edit"));
    edit->setObjectName("Edit1");
    edit->addAction(acSelectAll);
    edit->addSeparator();
    edit->addAction(acSortByDate);
    QMenu* view = menuBar()->addMenu(T("&View"));
    view->setObjectName("View1");
    view->addActions({acIcons, acDetails});
    view->addSeparator();
    view->addActions({acZoomIn, acZoomOut});
    QMenu* help = menuBar()->addMenu(T("&Help"));
    help->setObjectName("Help1");
    help->addActions({acHelp, acAbout});
    // Filled with the languages by the language files; hidden while it
    // offers no choice.
    Language1 = help->addMenu(T("Language"));
    Language1->setObjectName("Language1");
    Language1->menuAction()->setVisible(false);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    PopupMenu1->addActions(
        {acAnalyze, acImage, acSelectAll, acSave, acReconstruct, acGraph, acSortByDate});
    auto popup = [this](QAbstractItemView* view) {
        connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
            // A right click selects in the tree.
            if (view == Dirs)
                if (QTreeWidgetItem* node = Dirs->itemAt(at)) Dirs->setCurrentItem(node);
            PopupMenu1->popup(view->viewport()->mapToGlobal(at));
        });
        // Shift+F10 opens it from the keyboard, at the current item.
        auto* keys = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), view);
        keys->setContext(Qt::WidgetWithChildrenShortcut);
        connect(keys, &QShortcut::activated, this, [this, view] {
            const QModelIndex current = view->currentIndex();
            const QPoint at = current.isValid() ? view->visualRect(current).center() : QPoint(8, 8);
            PopupMenu1->popup(view->viewport()->mapToGlobal(at));
        });
    };
    popup(Dirs);
    popup(Files);
    popup(Details);
}

// --- Start-up and the analysis ---------------------------------------------

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (first_shown_) return;
    first_shown_ = true;
    // The user's language, which also builds the Language menu and picks
    // the help file; a language file that cannot be read ends the program.
    if (!SelectLanguage(user_language_)) return;
    thumbs_->start(QThread::LowPriority);  // one step below normal
    signatures_.load_signatures(signature_file_path(), &reporter_);
    // The input dialog opens once the window is up. (Window managers need not
    // activate a new window, so its first show stands for its activation.)
    QTimer::singleShot(1, this, [this] { StartAnalysis(true); });
}

bool TMainForm::analysis_running() const {
    return recovery_ && !recovery_->isFinished();
}

void TMainForm::StartAnalysis(bool ask) {
    if (closed_ || analysis_running() || busy_) return;
    rerun_->hide();
    GraphBox->hide();
    if (ask) {
        if (!AskDrive->ChooseInput(include_all_)) return;
        input_is_drive_ = AskDrive->chosen_drive();
        card_image_made_ = false;
    }
    ResetViews();
    Files->setCursor(Qt::WaitCursor);

    options_.expert_mode = AskDrive->expert_mode();
    options_.ignore_fat = SizeForm->ignore_fat();
    options_.truncate_uniform = SizeForm->truncate_uniform();
    options_.fast_read = SizeForm->fast_read();
    Engine& engine = run_.prepare(options_, &signatures_);
    UpdateTitle();
    // Thumbnails as many device pixels wide as the list draws them.
    thumbs_->SetEngine(&engine, static_cast<int>(std::lround(kThumbnailSide * devicePixelRatioF())));

    stform->Reset();
    status_.attach();
    stform->ShowRun(this, input_.input_name());
    auto* worker = new RecoveryThread(run_, this);
    recovery_ = worker;
    connect(worker, &QThread::finished, this, [this, worker] {
        // finished comes just before the thread ends: wait for that, so that
        // the run counts as over and the thread can be deleted.
        worker->wait();
        // A run that a fatal error ended has sent no notice: what it found
        // is shown all the same, and the status window goes.
        if (worker->result == AnalysisResult::Failed) {
            FillViews();
            stform->AbandonRun();
        }
        // The options as the run left them (the card parameters dialog may
        // have changed them) are where the next run starts.
        if (run_.engine()) options_ = run_.engine()->opt;
        worker->deleteLater();
        // The windows were shown while the thread was still ending: the
        // actions that wait for the end of the run are enabled now.
        UpdateActions();
    });
    worker->start();
}

std::uint64_t TMainForm::AskCardParameters(CardParameters& p) {
    return SizeForm->AskCardParameters(p);
}

void TMainForm::StatusCallback(std::uint32_t code, const std::string& text) {
    if (code == ST_STEP || code == ST_TEXT) {
        stform->StatusText(code, text);
    } else if (code == ST_FINISHED) {
        FillViews();
        analysis_finished_ = true;
        stform->FinishRun();
    } else if (code == ST_ABANDONED) {
        FillViews();
        stform->AbandonRun();
    }
}

void TMainForm::ResetViews() {
    analysis_finished_ = false;
    // The worker lets go of the old records, and what it failed on may be
    // tried again with the new ones.
    setEnabled(false);
    thumbs_->Settle(true);
    setEnabled(true);
    if (image_list_) image_list_->Reset();
    // The previous worker has sent its notice; let it end before its
    // engine goes.
    WaitProcessingEvents([this] { return !analysis_running(); });
    Dirs->clear();
    Files->clear();
    Details->clear();
    UpdateActions();
}

void TMainForm::add_tree_children(QTreeWidgetItem* node, const dir_t& dir, int depth) {
    if (depth > kMaxDirectoryDepth) return;
    for (const dir_t& child : dir.children) {
        if (!child.entry.is_directory()) continue;
        auto* sub = new QTreeWidgetItem(node, {Q(display_name(child))});
        sub->setData(0, kRecordRole, QVariant::fromValue(reinterpret_cast<quintptr>(&child)));
        add_tree_children(sub, child, depth + 1);
    }
}

void TMainForm::FillViews() {
    Dirs->blockSignals(true);
    Dirs->clear();
    Dirs->blockSignals(false);
    Files->clear();
    Details->clear();
    if (!run_.engine()) return;
    auto* root = new QTreeWidgetItem(Dirs, {"/"});
    root->setData(0, kRecordRole,
                  QVariant::fromValue(reinterpret_cast<quintptr>(&run_.engine()->cat.root)));
    add_tree_children(root, run_.engine()->cat.root, 0);
    root->setExpanded(true);
    views_->setCurrentWidget(view_ == View::Icons ? static_cast<QWidget*>(Files) : Details);
    Dirs->setCurrentItem(root);  // shows the root's contents
    Files->unsetCursor();
    UpdateActions();
}

void TMainForm::DirsChange() {
    QTreeWidgetItem* node = Dirs->currentItem();
    if (!node && run_.engine()) {
        ShowDirectory(&run_.engine()->cat.root);
        return;
    }
    ShowDirectory(node
                      ? reinterpret_cast<const dir_t*>(node->data(0, kRecordRole).value<quintptr>())
                      : nullptr);
}

void TMainForm::ensure_image_list() {
    if (image_list_) return;
    const qreal dpr = devicePixelRatioF();
    const std::int64_t side = std::lround(kThumbnailSide * dpr);
    const int capacity = thumbnail_capacity_ > 0
                             ? thumbnail_capacity_
                             : static_cast<int>(kImageListBytes / (side * side * 4));
    image_list_ = std::make_unique<TImageList>(DrawBuiltinImages(dpr), capacity);
}

void TMainForm::RetranslateFileList() {
    if (!image_list_) return;
    image_list_->ReplaceBuiltin(DrawBuiltinImages(devicePixelRatioF()));
    for (int i = 0; i < Files->count(); ++i) {
        QListWidgetItem* item = Files->item(i);
        const int image = item_image(item);
        if (image >= 0 && image < kBuiltinImages) set_item_image(item, image);
        if (const dir_t* record = item_record(item)) item->setToolTip(ItemToolTip(*record));
    }
}

int TMainForm::item_image(const QListWidgetItem* item) {
    return item ? item->data(kImageRole).toInt() : -1;
}

void TMainForm::set_item_image(QListWidgetItem* item, int image) {
    item->setData(kImageRole, image);
    item->setIcon(QIcon(image_list_->at(image)));
}

QString TMainForm::ItemToolTip(const dir_t& record) {
    QString tip;
    if (record.entry.is_directory()) {
        const auto entries = std::count_if(record.children.begin(), record.children.end(),
                                           [](const dir_t& c) { return !is_volume_label(c); });
        tip = TF("%lu entries", static_cast<std::uint64_t>(entries));
    } else {
        // The whole name (the list shows two lines of it), then the size.
        tip = Q(display_name(record)) + "\n" + Q(SizeWithUnit(item_size(record)));
    }
    if (!record.date_text.empty()) tip = T("Date: ") + ShownDate(record.date_text) + "\n" + tip;
    const std::string grade = GradeText({record.grade, record.decoded_rows_percent});
    if (!grade.empty()) tip += "\n" + Q(grade);
    // A file that is not wholly its own, or whose clusters were guessed.
    if (record.extent.how == ExtentHow::Partial) {
        tip += "\n" + T("partial");
        if (record.extent.foreign != 0)
            tip += ": " + Q(format(translate("%s bytes not its own"), GroupedNumber(record.extent.foreign)));
    } else if (record.extent.how == ExtentHow::Guessed) {
        tip += "\n" + T("guessed");
    }
    return tip;
}

void TMainForm::ShowDirectory(const dir_t* dir) {
    thumbs_->NewContents();
    Files->clear();
    FillDetails(dir);
    if (!dir) {
        UpdateActions();
        return;
    }
    ensure_image_list();
    const bool rendering = run_.engine() && run_.engine()->opt.thumbnail_rendering;
    for (const dir_t& child : dir->children) {
        if (is_volume_label(child)) continue;
        auto* item = new QListWidgetItem(Q(display_name(child)), Files);
        item->setData(kRecordRole, QVariant::fromValue(reinterpret_cast<quintptr>(&child)));
        // The list only shows records; the thumbnail fields are its own to set.
        dir_t& record = const_cast<dir_t&>(child);
        if (record.entry.is_directory() && !record.has_thumbnail) {
            record.thumbnail_index = kImageFolder;
            record.has_thumbnail = true;
        }
        set_item_image(item, record.has_thumbnail ? int(record.thumbnail_index)
                             : rendering          ? kImagePending
                                                  : kImagePicture);
        item->setToolTip(ItemToolTip(record));
        // A partial file's name is in italics.
        if (record.extent.how == ExtentHow::Partial) {
            QFont font = item->font();
            font.setItalic(true);
            item->setFont(font);
        }
    }
    acSortByDate->setChecked(dir->sorted_by_date);
    UpdateActions();
}

QString TMainForm::StateText(const dir_t& record) {
    // How the item was found, then whether all of it is its own.
    QString state = record.source == EntrySource::Live      ? T("live")
                    : record.source == EntrySource::Deleted ? T("deleted")
                    : record.extent.how == ExtentHow::Chain ? T("lost")
                                                            : T("carved");
    if (record.extent.how == ExtentHow::Partial) state += ", " + T("partial");
    else if (record.extent.how == ExtentHow::Guessed) state += ", " + T("guessed");
    return state;
}

void TMainForm::FillDetails(const dir_t* dir) {
    Details->clear();
    if (!dir) return;
    const QLocale locale;
    QList<QTreeWidgetItem*> rows;
    for (const dir_t& child : dir->children) {
        if (is_volume_label(child)) continue;
        auto* row = new QTreeWidgetItem;
        row->setText(0, Q(display_name(child)));
        row->setToolTip(0, Q(display_name(child)));
        row->setData(0, kRecordRole, QVariant::fromValue(reinterpret_cast<quintptr>(&child)));
        row->setIcon(0, QApplication::style()->standardIcon(child.entry.is_directory() ? QStyle::SP_DirIcon
                                                                                        : QStyle::SP_FileIcon));
        if (!child.entry.is_directory()) {
            row->setText(1, Q(SizeWithUnit(item_size(child))));
            row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
            // The picture's own date when a thumbnail has read it, else the
            // entry's write time.
            std::time_t t = 0;
            if (!child.date_text.empty())
                row->setText(2, ShownDate(child.date_text));
            else if (dos_time_to_local(child.entry.wdate, child.entry.wtime, &t))
                row->setText(2, locale.toString(QDateTime::fromSecsSinceEpoch(t), QLocale::ShortFormat));
            row->setText(3, StateText(child));
            row->setText(4, Q(GradeText({child.grade, child.decoded_rows_percent})));
        }
        rows << row;
    }
    Details->addTopLevelItems(rows);
}

void TMainForm::UpdateStatusBar() {
    if (!run_.engine() || views_->currentWidget() == EmptyPage) {
        StatusCounts->clear();
        return;
    }
    const QLocale locale;
    std::uint64_t selected_bytes = 0;
    const std::vector<const dir_t*> selection = selected_records();
    for (const dir_t* record : selection)
        if (record) selected_bytes += item_size(*record);
    const int shown = view_ == View::Icons ? Files->count() : Details->topLevelItemCount();
    QString text = TF("%s items", S(locale.toString(shown)));
    if (!selection.empty())
        text += " · " + TF("%s selected (%s)", S(locale.toString(static_cast<qulonglong>(selection.size()))),
                            SizeWithUnit(selected_bytes));
    StatusCounts->setText(text);
}

void TMainForm::OpenRecord(const dir_t* record) {
    if (!record || !run_.engine() || busy_) return;
    if (record->entry.is_directory()) {
        QTreeWidgetItem* node = Dirs->currentItem() ? Dirs->currentItem() : Dirs->topLevelItem(0);
        for (int i = 0; node && i < node->childCount(); ++i)
            if (reinterpret_cast<const dir_t*>(node->child(i)->data(0, kRecordRole).value<quintptr>()) == record) {
                Dirs->setCurrentItem(node->child(i));
                return;
            }
        return;
    }
    // A temporary copy, opened by the desktop's application for its type,
    // and removed when the program ends.
    const std::string path = temp_names_.TempFileName("PIC", short_extension(*record));
    if (std::find(temp_files_.begin(), temp_files_.end(), path) == temp_files_.end())
        temp_files_.push_back(path);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool written = WriteRecoveredFile(*run_.engine(), *record, path, nullptr, run_.reads());
    QApplication::restoreOverrideCursor();
    if (written) QDesktopServices::openUrl(QUrl::fromLocalFile(Q(path)));
}

void TMainForm::GoUp() {
    QTreeWidgetItem* node = Dirs->currentItem();
    if (node && node->parent()) Dirs->setCurrentItem(node->parent());
}

void TMainForm::SetView(View view) {
    view_ = view;
    acIcons->setChecked(view == View::Icons);
    acDetails->setChecked(view == View::Details);
    if (views_->currentWidget() != EmptyPage)
        views_->setCurrentWidget(view == View::Icons ? static_cast<QWidget*>(Files) : Details);
    Zoom->setEnabled(view == View::Icons);
    UpdateActions();
}

void TMainForm::SetIconSide(int side) {
    icon_side_ = std::clamp(side, kMinIconSide, kThumbnailSide);
    Files->setIconSize(QSize(icon_side_, icon_side_));
    // Two lines of name under each thumbnail.
    Files->setGridSize(QSize(icon_side_ + 28, icon_side_ + 2 * Files->fontMetrics().height() + 14));
    if (Zoom->value() != icon_side_) Zoom->setValue(icon_side_);
    acZoomIn->setEnabled(icon_side_ < kThumbnailSide);
    acZoomOut->setEnabled(icon_side_ > kMinIconSide);
}

void TMainForm::SaveSettings() {
    QSettings settings;
    settings.setValue("MainWindow/geometry", saveGeometry());
    settings.setValue("MainWindow/splitter", splitter_->saveState());
    settings.setValue("MainWindow/view", view_ == View::Details ? "details" : "icons");
    settings.setValue("MainWindow/iconSide", icon_side_);
}

void TMainForm::RestoreSettings() {
    QSettings settings;
    if (settings.contains("MainWindow/geometry")) restoreGeometry(settings.value("MainWindow/geometry").toByteArray());
    if (settings.contains("MainWindow/splitter")) splitter_->restoreState(settings.value("MainWindow/splitter").toByteArray());
    SetIconSide(settings.value("MainWindow/iconSide", kDefaultIconSide).toInt());
    SetView(settings.value("MainWindow/view").toString() == "details" ? View::Details : View::Icons);
}

void TMainForm::UpdateTitle() {
    // "Expert" says that the run asks for the card parameters itself.
    setWindowTitle(options_.expert_mode ? T("Lumenkeeper Expert") : T("Lumenkeeper"));
}

QString TMainForm::EnglishOf(const QString& text) const {
    return QString::fromUtf8(language_.lookup_english(S(text).c_str()));
}

void TMainForm::RetranslateOwnTexts() {
    Details->setHeaderLabels({T("Name"), T("Size"), T("Date taken"), T("State"), T("Grade")});
    AnalyzeButton->setText(acAnalyze->text());
    ToolBar->setWindowTitle(T("Toolbar"));
    AssignMnemonics(menuBar(), [this](const QString& text) { return EnglishOf(text); });
    UpdateStatusBar();
}

void TMainForm::ImageRequest(QListWidgetItem* item) {
    const dir_t* record = item_record(item);
    if (!record || !run_.engine() || !image_list_) return;
    if (record->has_thumbnail) {
        const int image = int(record->thumbnail_index);
        image_list_->Touch(image);
        if (item_image(item) != image) set_item_image(item, image);
        return;
    }
    if (run_.engine()->opt.thumbnail_rendering) thumbs_->Request(item, record);
}

void TMainForm::drop_images(const std::vector<int>& recycled) {
    if (recycled.empty()) return;
    const std::set<int> gone(recycled.begin(), recycled.end());
    forget_images(run_.engine()->cat.root, gone, 0);
    // Items showing them are drawn again and so queued again.
    for (int i = 0; i < Files->count(); ++i)
        if (gone.count(item_image(Files->item(i)))) set_item_image(Files->item(i), kImagePending);
}

void TMainForm::ShowThumbnail(QListWidgetItem* item, const dir_t* shown, int generation,
                              Preview& preview) {
    // The list changed since the worker took the item: it may be gone.
    if (generation != thumbs_->generation() || !run_.engine() || !image_list_) return;
    dir_t& record = const_cast<dir_t&>(*shown);
    if (record.has_thumbnail) return;  // made meanwhile for another request
    const std::string ext = preview_extension(record), display = display_extension(record);
    const ImageChoice choice = ChooseImage(!preview.picture.empty(), preview.full_width, ext, display);
    int image = choice.image;
    QPixmap picture;
    if (choice.image == kUsePicture)
        picture = ThumbnailPixmap(preview.picture, preview.grade, devicePixelRatioF());
    else if (choice.ask_icon)
        picture = TypeIconPixmap(Q(display_name(record)), devicePixelRatioF());
    if (!picture.isNull()) {
        std::vector<int> recycled;
        image = image_list_->Add(picture, recycled);
        if (image < 0) image = kImageFailed;
        drop_images(recycled);
    }
    if (!preview.date.empty()) record.date_text = preview.date;
    record.grade = preview.grade.grade;
    record.decoded_rows_percent = static_cast<std::uint8_t>(preview.grade.decoded_rows_percent);
    record.thumbnail_index = static_cast<std::uint32_t>(image);
    record.has_thumbnail = true;
    set_item_image(item, image);
    item->setToolTip(ItemToolTip(record));
    image_list_->Touch(image);
}

void TMainForm::AfterAnalysis() {
    show();
    raise();
    activateWindow();
    Files->unsetCursor();
    UpdateActions();
    const bool no_rerun = run_.engine() && run_.engine()->no_rerun_offer;
    if (!options_.expert_mode && !SizeForm->ignore_fat() && !no_rerun) rerun_->ShowBeside(this);
}

// --- Actions ---------------------------------------------------------------

void TMainForm::UpdateActions() {
    const bool idle = !busy_ && !analysis_running();
    for (QAction* a : {acAnalyze, acImage, acGraph, acExit, acSelectAll, acHelp, acAbout})
        a->setEnabled(idle || a == acExit || a == acHelp || a == acAbout);
    // Nothing to save before an analysis has found something.
    const Engine* engine = run_.engine();
    acSaveAll->setEnabled(idle && analysis_finished_ && engine && !engine->cat.root.children.empty());
    acSelectAll->setEnabled(idle && (view_ == View::Icons ? Files->count() : Details->topLevelItemCount()) > 0);
    UpdateStatusBar();
    acSave->setEnabled(idle && acSaveUpdate());
    acReconstruct->setEnabled(idle && acReconstructUpdate());
    acSortByDate->setEnabled(idle && acSortByDateUpdate());
}

bool TMainForm::acSaveUpdate() const {
    return run_.engine() && !selected_records().empty();
}

bool TMainForm::acReconstructUpdate() const {
    const std::vector<const dir_t*> selection = selected_records();
    return run_.engine() && !selection.empty() && SaveListHasItems(*run_.engine(), selection, true);
}

bool TMainForm::acSortByDateUpdate() const {
    return (view_ == View::Icons ? Files->count() : Details->topLevelItemCount()) > 0;
}

void TMainForm::acReconstructExecute() {
    start_save(true, true);
}

dir_t* TMainForm::shown_directory() {
    if (!run_.engine()) return nullptr;
    const QTreeWidgetItem* node = Dirs->currentItem();
    const dir_t* dir =
        node ? reinterpret_cast<const dir_t*>(node->data(0, kRecordRole).value<quintptr>())
             : &run_.engine()->cat.root;
    return const_cast<dir_t*>(dir);
}

void TMainForm::acSortByDateExecute() {
    dir_t* dir = shown_directory();
    if (!dir || busy_ || analysis_running()) return;
    const bool by_date = !dir->sorted_by_date;
    if (by_date) {
        // The dates come with the thumbnails: every item still waiting for
        // one is queued, and the paints leave the queue alone meanwhile.
        collecting_dates_ = true;
        int waiting = 0;
        for (int i = 0; i < Files->count(); ++i)
            if (item_image(Files->item(i)) == kImagePending) {
                thumbs_->Request(Files->item(i), item_record(Files->item(i)));
                ++waiting;
            }
        bool cancelled = false;
        if (waiting > 0) {
            WaitSize->ShowWaitBox(T("Extracting date information from files..."));
            WaitProcessingEvents(
                [&] {
                    cancelled = WaitSize->WaitBoxCancelled();
                    return cancelled || thumbs_->drained();
                },
                100);
            WaitSize->HideWaitBox();
        }
        collecting_dates_ = false;
        if (cancelled) {
            acSortByDate->setChecked(dir->sorted_by_date);
            return;
        }
    }
    // Sorting moves the records the worker and the tree point at.
    thumbs_->Settle(false);
    sort_children(*run_.engine(), *dir, by_date, 0);
    dir->sorted_by_date = by_date;
    if (QTreeWidgetItem* node = Dirs->currentItem()) {
        Dirs->blockSignals(true);
        qDeleteAll(node->takeChildren());
        add_tree_children(node, *dir, 0);
        node->setExpanded(true);
        Dirs->blockSignals(false);
    }
    ShowDirectory(dir);
}

void TMainForm::acAnalyzeExecute() {
    StartAnalysis(true);
}

void TMainForm::acSelectAllExecute() {
    if (view_ == View::Details) {
        Details->selectAll();
        Details->setFocus();
        return;
    }
    Files->selectAll();
    Files->setFocus();
}

void TMainForm::acAboutExecute() {
    QMessageBox about(QMessageBox::Information, T("About"),
                      "Lumenkeeper\n" + T("Version") + " " + QString(LK_VERSION) + "\n\n" +
                          T("Recovers pictures, movies, sound recordings and documents from "
                            "damaged, formatted or erased memory cards."),
                      QMessageBox::Ok, this);
    about.setObjectName("AboutBox");
    about.setIconPixmap(windowIcon().pixmap(64, 64));
    about.button(QMessageBox::Ok)->setText(T("OK"));
    about.exec();
}

bool TMainForm::ensure_input() {
    if (input_.is_open()) return true;
    if (!AskDrive->ChooseInput(include_all_)) return false;
    input_is_drive_ = AskDrive->chosen_drive();
    card_image_made_ = false;
    return true;
}

void TMainForm::set_busy(bool busy) {
    busy_ = busy;
    centralWidget()->setEnabled(!busy);
    menuBar()->setEnabled(!busy);
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    UpdateActions();
}

void TMainForm::run_copy(CopyThread* worker, const QString& caption,
                         std::function<void(CopyThread&)> done) {
    CopyProgress->SetCaption(caption);
    set_busy(true);
    copy_ = worker;
    connect(worker, &QThread::finished, this, [this, worker, done] {
        worker->wait();  // finished comes just before the thread ends
        set_busy(false);
        status_.ResetCancel();  // a Cancel of the copy stops nothing else
        done(*worker);
        worker->deleteLater();
    });
    worker->start();
}

void TMainForm::acImageExecute() {
    if (busy_ || analysis_running()) return;
    rerun_->hide();
    if (!ensure_input()) return;
    QFileDialog ask(this, T("Please specify the image output file"));
    ask.setObjectName("SaveDialog1");
    ask.setOption(QFileDialog::DontUseNativeDialog);
    ask.setAcceptMode(QFileDialog::AcceptSave);
    ask.setDefaultSuffix("cib");
    ask.setNameFilters({T("Card Image Backup") + " (*.cib)", T("All Files") + " (*)"});
    ask.selectFile("card_image.cib");
    if (ask.exec() != QDialog::Accepted || ask.selectedFiles().isEmpty()) return;
    const std::string path = S(ask.selectedFiles().first());
    auto* worker = new ImageThread(input_, path, *CopyProgress, status_, this);
    run_copy(worker, T("Creating card image backup..."), [this](CopyThread& w) {
        if (static_cast<ImageThread&>(w).result == DuplicateResult::Done) card_image_made_ = true;
    });
}

void TMainForm::acGraphExecute() {
    if (busy_ || analysis_running()) return;
    GraphBox->hide();
    if (!ensure_input()) return;
    if (input_.input_size <= 0) return;
    auto* worker = new GraphThread(input_, *CopyProgress, status_, this);
    run_copy(worker, T("Creating graph..."), [this](CopyThread& w) {
        auto& graph = static_cast<GraphThread&>(w);
        if (graph.map)
            GraphBox->ShowGraph(std::move(*graph.map), input_.input_size, input_.input_name());
    });
}

std::vector<const dir_t*> TMainForm::selected_records() const {
    std::vector<const dir_t*> records;
    // In list order, as the items are shown, in the view that is shown.
    if (view_ == View::Details) {
        for (int i = 0; i < Details->topLevelItemCount(); ++i)
            if (Details->topLevelItem(i)->isSelected())
                records.push_back(
                    reinterpret_cast<const dir_t*>(Details->topLevelItem(i)->data(0, kRecordRole).value<quintptr>()));
        return records;
    }
    for (int i = 0; i < Files->count(); ++i)
        if (Files->item(i)->isSelected()) records.push_back(item_record(Files->item(i)));
    return records;
}

const dir_t* TMainForm::item_record(const QListWidgetItem* item) const {
    return item ? reinterpret_cast<const dir_t*>(item->data(kRecordRole).value<quintptr>())
                : nullptr;
}

void TMainForm::start_save(bool selected_only, bool reconstruct) {
    if (busy_ || analysis_running() || !run_.engine()) return;
    const std::vector<const dir_t*> selection =
        selected_only ? selected_records() : std::vector<const dir_t*>{};
    if (selected_only && selection.empty()) return;
    std::vector<SaveItem> list = BuildSaveList(*run_.engine(), selection, reconstruct);
    if (list.empty()) return;
    const auto dir = output_dir_.Choose(this, input_.input_name(), list);
    if (!dir) return;
    auto* worker =
        new FileCopyThread(run_, std::move(list), *dir, *CopyProgress, status_, this);
    // Reconstruct: each JPEG is decoded as far as it goes and encoded again.
    if (reconstruct)
        worker->filter = [](Bytes in, std::vector<std::uint8_t>& out) { return ReconstructJpeg(in, out); };
    run_copy(worker, T("Copying files"), [this, folder = *dir](CopyThread& w) {
        // What was saved where, what was there already, what failed and why.
        ShowSaveSummary(this, static_cast<FileCopyThread&>(w).outcome, folder);
    });
}

void TMainForm::acSaveExecute() {
    start_save(true);
}
void TMainForm::acSaveAllExecute() {
    start_save(false);
}

void TMainForm::FilesDblClick(QListWidgetItem* item) {
    OpenRecord(item_record(item));
}

bool TMainForm::drag_allowed() const {
    return analysis_finished_ && run_.engine() && !busy_ && !selected_records().empty();
}

QMimeData* TMainForm::DragData() {
    const std::vector<const dir_t*> selection = selected_records();
    if (selection.empty() || !run_.engine()) return nullptr;
    if (!drag_dir_)
        drag_dir_ = std::make_unique<QTemporaryDir>(Q(TempDir() + "lumenkeeper-drag-XXXXXX"));
    const QString folder = drag_dir_->filePath(QString::number(++drag_count_));
    drag_failures_.clear();
    return new DragFiles([this, selection, folder] {
        QList<QUrl> urls;
        QDir().mkpath(folder);
        SilentProgress progress;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        drag_failures_ =
            run_.save(selection, S(folder), progress).failures;
        QApplication::restoreOverrideCursor();
        for (const QFileInfo& entry :
             QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot))
            urls << QUrl::fromLocalFile(entry.absoluteFilePath());
        return urls;
    });
}

void TMainForm::StartDrag() {
    QMimeData* data = DragData();
    if (!data) return;
    QDrag drag(view_ == View::Icons ? static_cast<QWidget*>(Files) : Details);
    drag.setMimeData(data);
    if (QListWidgetItem* first = view_ == View::Icons ? Files->selectedItems().value(0) : nullptr)
        drag.setPixmap(first->icon().pixmap(48, 48));
    drag.exec(Qt::CopyAction);
    ShowSaveFailures(drag_failures_);
    drag_failures_.clear();
}

// --- Shutting down -----------------------------------------------------------

bool TMainForm::BackupQuestionDue(bool input_open, bool input_is_drive, bool image_made) {
    return input_open && input_is_drive && !image_made;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    if (busy_) {  // a copy worker runs: its Cancel ends it first
        event->ignore();
        return;
    }
    if (BackupQuestionDue(input_.is_open(), input_is_drive_, card_image_made_)) {
        QMessageBox ask(QMessageBox::Question, T("Do you want to create a backup?"), T(kBackupText),
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
        ask.setObjectName("BackupQuestion");
        ask.button(QMessageBox::Yes)->setText(T("Yes"));
        ask.button(QMessageBox::No)->setText(T("No"));
        ask.button(QMessageBox::Cancel)->setText(T("Cancel"));
        const int answer = ask.exec();
        if (answer != QMessageBox::No) {
            event->ignore();
            if (answer == QMessageBox::Yes) acImageExecute();
            return;
        }
    }
    close_down();
    event->accept();
}

void TMainForm::close_down() {
    if (closed_) return;
    closed_ = true;
    SaveSettings();
    // The worker is given a higher priority so that it ends its picture soon.
    thumbs_->Terminate();
    run_.stop_reads();
    if (analysis_running()) run_.cancel();
    WaitProcessingEvents(
        [this] { return !analysis_running() && !(copy_ && !copy_->isFinished()); });
    rerun_->hide();
    GraphBox->hide();
    stform->hide();
    input_.CloseInput();
    for (const std::string& path : temp_files_) std::remove(path.c_str());
    temp_files_.clear();
    drag_dir_.reset();
}

}  // namespace lk::ui

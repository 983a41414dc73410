#include "ui/thumbnails.hpp"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QPainter>
#include <QStyle>
#include <cctype>
#include <chrono>

#include "engine/engine.hpp"
#include "input/platform.hpp"
#include "ui/builtin_images.hpp"
#include "ui/gui_thread.hpp"

namespace lk::ui {

// --- TImageList --------------------------------------------------------------

TImageList::TImageList(std::vector<QPixmap> builtin, int capacity)
    : images_(std::move(builtin)), slots_(capacity, kBuiltinImages) {
    images_.resize(kBuiltinImages);
}

int TImageList::Add(const QPixmap& picture, std::vector<int>& recycled) {
    const int slot = slots_.Acquire(recycled);
    if (slot < 0) return -1;
    if (slot >= count()) images_.resize(static_cast<std::size_t>(slot) + 1);
    images_[static_cast<std::size_t>(slot)] = picture;
    return slot;
}

void TImageList::ReplaceBuiltin(std::vector<QPixmap> builtin) {
    builtin.resize(kBuiltinImages);
    std::move(builtin.begin(), builtin.end(), images_.begin());
}

void TImageList::Reset() {
    images_.resize(kBuiltinImages);
    slots_.Clear();
}

// --- ThumbThread -------------------------------------------------------------

ThumbThread::ThumbThread(Deliver deliver, QObject* parent)
    : QThread(parent),
      deliver_(std::move(deliver)),
      readers_(QtImageReaders()),
      temp_names_(TempDir()) {}

ThumbThread::~ThumbThread() {
    Terminate();
}

void ThumbThread::SetEngine(Engine* engine, int box) {
    engine_ = engine;
    box_ = box;
}

void ThumbThread::Request(QListWidgetItem* item, const dir_t* record) {
    {
        std::lock_guard<std::mutex> l(lock_);
        // Asked again by a paint while it waits or while it is being made.
        if (item == rendering_) return;
        for (const Entry& e : queue_)
            if (e.item == item) return;
        queue_.push_back({item, record});
    }
    wake_.notify_one();
}

void ThumbThread::ClearQueue() {
    std::lock_guard<std::mutex> l(lock_);
    queue_.clear();
}

bool ThumbThread::queued(const QListWidgetItem* item) const {
    std::lock_guard<std::mutex> l(lock_);
    for (const Entry& e : queue_)
        if (e.item == item) return true;
    return false;
}

bool ThumbThread::drained() const {
    std::lock_guard<std::mutex> l(lock_);
    return queue_.empty() && idle_.load();
}

void ThumbThread::NewContents() {
    // Under the queue's lock: an item the worker takes from now on carries
    // the new generation, and no item of the old list is left to take.
    std::lock_guard<std::mutex> l(lock_);
    ++generation_;
    queue_.clear();
    // What is being made is for the old list; a new item may take its address.
    rendering_ = nullptr;
}

bool ThumbThread::stopping() const {
    return stop_.load() || terminating_.load();
}

void ThumbThread::Settle(bool reset) {
    stop_.store(true);
    // A read in progress gives up at once.
    {
        std::lock_guard<std::mutex> l(lock_);
        reads_.request_stop();
    }
    NewContents();
    wake_.notify_one();
    WaitProcessingEvents([this] { return idle() || !isRunning(); }, 100);
    {
        std::lock_guard<std::mutex> l(lock_);
        if (reset) failed_.clear();
        reads_ = std::stop_source();
    }
    stop_.store(false);
    wake_.notify_one();  // items queued meanwhile by paints
}

void ThumbThread::Terminate() {
    if (!isRunning()) return;
    setPriority(QThread::HighPriority);  // one step above normal, so that it ends soon
    // Terminating first: the worker delivers nothing more (the wait below
    // would block a delivery to this thread) and ends at its next wait.
    terminating_.store(true);
    Settle(false);
    wake_.notify_one();
    wait();
}

Preview ThumbThread::render(const dir_t& record, std::stop_token stop) {
    if (custom_render_) return custom_render_(record);
    if (!engine_) return {};
    PreviewServices services;
    services.readers = &readers_;
    services.temp_names = &temp_names_;
    services.dumps = &dumps_;
    services.status = &engine_->status;
    services.stop = std::move(stop);
    return RenderPreview(*engine_, record, box_, box_, services);
}

void ThumbThread::run() {
    for (;;) {
        Entry entry{};
        int generation = 0;
        std::stop_token stop;
        {
            std::unique_lock<std::mutex> l(lock_);
            while (queue_.empty() || stopping()) {
                if (terminating_.load()) return;
                idle_.store(true);
                // While items wait, look again soon.
                if (queue_.empty())
                    wake_.wait(l);
                else
                    wake_.wait_for(l, std::chrono::milliseconds(50));
            }
            idle_.store(false);
            generation = generation_.load();
            entry = queue_.front();
            queue_.pop_front();
            rendering_ = entry.item;
            stop = reads_.get_token();
        }
        const direntry_t& d = entry.record->entry;
        const std::uint32_t start =
            engine_ ? engine_->first_cluster(d) : std::uint32_t(d.cluster_hi) << 16 | d.cluster_lo;
        Preview preview;
        // A file that made a decoder throw is tried once only.
        if (!failed_.count(start)) {
            try {
                preview = render(*entry.record, stop);
            } catch (...) {
                std::lock_guard<std::mutex> l(lock_);
                failed_.insert(start);
                preview = Preview{};
            }
        }
        if (!stopping()) RunOnGuiThread([&] { deliver_(entry.item, entry.record, generation, preview); });
        std::lock_guard<std::mutex> l(lock_);
        if (rendering_ == entry.item) rendering_ = nullptr;
    }
}

// --- What the desktop draws --------------------------------------------------

ImageReaders QtImageReaders() {
    std::set<std::string> formats;
    for (const QByteArray& f : QImageReader::supportedImageFormats()) {
        std::string ext = f.toUpper().toStdString();
        formats.insert(ext);
    }
    ImageReaders readers;
    readers.takes = [formats](const std::string& ext) { return formats.count(ext) > 0; };
    readers.read = [](const std::string& path, int& width, int& height) {
        QImageReader reader(QString::fromStdString(path));
        const QSize size = reader.size();
        width = size.width() > 0 ? size.width() : 0;
        height = size.height() > 0 ? size.height() : 0;
        const QImage image = reader.read().convertToFormat(QImage::Format_BGR888);
        BgrImage out;
        if (image.isNull()) return out;
        out = BgrImage(image.width(), image.height());
        for (int y = 0; y < image.height(); ++y)
            std::copy_n(image.constScanLine(y), std::size_t(image.width()) * 3, out.row(y));
        return out;
    };
    return readers;
}

namespace {

QImage framed_box(int side) {
    QImage box(side, side, QImage::Format_RGB32);
    box.fill(Qt::white);
    QPainter p(&box);
    p.setPen(Qt::black);
    p.drawRect(0, 0, side - 1, side - 1);
    return box;
}

}  // namespace

QPixmap ThumbnailPixmap(const BgrImage& picture, const PictureGrade& grade, qreal dpr) {
    QImage image(picture.pixels.data(), picture.width, picture.height, picture.width * 3,
                 QImage::Format_BGR888);
    QPixmap pixmap = QPixmap::fromImage(image.copy());
    pixmap.setDevicePixelRatio(dpr);
    if (grade.grade != Grade::Damaged && grade.grade != Grade::Unreadable) return pixmap;
    // A picture that did not decode whole stands out: a thick frame in the
    // grade's colour and, in the corner, how much of it decoded (a cross
    // when nothing did).
    const QColor colour = grade.grade == Grade::Damaged ? QColor(232, 128, 0) : QColor(200, 30, 30);
    const qreal side = picture.width / dpr;
    // Drawn for a 100-pixel thumbnail, scaled to the side made.
    const qreal k = side / 100.0;
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 4 * k));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(2 * k, 2 * k, side - 4 * k, side - 4 * k));
    const QRectF badge(side - 44 * k, side - 22 * k, 42 * k, 20 * k);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(badge, 4 * k, 4 * k);
    p.setPen(QPen(Qt::white, 2.5 * k));
    if (grade.grade == Grade::Damaged) {
        QFont font = p.font();
        font.setPixelSize(static_cast<int>(std::lround(13 * k)));
        font.setBold(true);
        p.setFont(font);
        p.drawText(badge, Qt::AlignCenter, QString::number(grade.decoded_rows_percent) + "%");
    } else {
        const QPointF c = badge.center();
        p.drawLine(c + QPointF(-6, -6) * k, c + QPointF(6, 6) * k);
        p.drawLine(c + QPointF(-6, 6) * k, c + QPointF(6, -6) * k);
    }
    return pixmap;
}

QPixmap TypeIconPixmap(const QString& name, qreal dpr) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
    const int side = static_cast<int>(std::lround(kThumbnailSide * dpr));
    QImage box = framed_box(side);
    const int icon_side = static_cast<int>(std::lround(kThumbnailSide * 0.48 * dpr));
    {
        QPainter p(&box);
        // Without an icon theme, the program's own icon of the file's kind.
        const QPixmap drawn = !icon.isNull()
                                  ? icon.pixmap(QSize(icon_side, icon_side))
                                  : DrawFileIcon(FileKindOf(QFileInfo(name).suffix()), icon_side, 1.0);
        p.drawPixmap((side - icon_side) / 2, (side - icon_side) / 2, drawn);
    }
    QPixmap pixmap = QPixmap::fromImage(box);
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

}  // namespace lk::ui

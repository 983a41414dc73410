#include "ui/graph_box.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStatusBar>
#include <QVBoxLayout>

#include "input/sector_map.hpp"
#include "input/text.hpp"
#include "ui/qt_text.hpp"

namespace lk::ui {

namespace {

// Sectors per column of a box narrower than the map.
std::size_t sectors_per_column(std::size_t length, int width) {
    const auto w = static_cast<std::size_t>(width);
    return length / w + (w * (length / w) < length ? 1 : 0);
}

}  // namespace

std::vector<GraphRun> GraphRuns(const std::vector<std::uint8_t>& map, int width) {
    std::vector<GraphRun> runs;
    const std::size_t length = map.size();
    if (width <= 0 || length == 0) return runs;
    if (static_cast<std::size_t>(width) >= length) {
        const int q = static_cast<int>(static_cast<std::size_t>(width) / length);
        for (std::size_t i = 0; i < length; ++i) {
            const int left = static_cast<int>(i) * q;
            runs.push_back({left, left + q - 1, map[i]});
        }
        return runs;
    }
    const std::size_t k = sectors_per_column(length, width);
    int column = 0;
    for (std::size_t first = 0; first < length; first += k, ++column) {
        const std::size_t last = std::min(first + k, length);  // the last column takes what is left
        const std::uint8_t value =
            *std::max_element(map.begin() + static_cast<std::ptrdiff_t>(first),
                              map.begin() + static_cast<std::ptrdiff_t>(last));
        if (!runs.empty() && runs.back().value == value)
            runs.back().right = column + 1;
        else
            runs.push_back({column, column + 1, value});
    }
    // Each run ends where the next begins; the last one includes its final
    // column, so the graph's right edge is painted too.
    return runs;
}

std::int64_t GraphSectorAt(int x, std::size_t length, int width) {
    if (x < 0 || width <= 0 || length == 0) return -1;
    // A wide box draws sector i from i * q: the column belongs to i = x / q.
    const std::size_t sector =
        static_cast<std::size_t>(width) >= length
            ? static_cast<std::size_t>(x) / (static_cast<std::size_t>(width) / length)
            : static_cast<std::size_t>(x) * sectors_per_column(length, width);
    return sector < length ? static_cast<std::int64_t>(sector) : -1;
}

GraphPaintBox::GraphPaintBox(QWidget* parent) : QWidget(parent) {
    setObjectName("PaintBox1");
    setMouseTracking(true);
    setMinimumSize(200, 60);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void GraphPaintBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (!map_) return;
    for (const GraphRun& run : GraphRuns(*map_, width())) {
        const QColor& colour = run.value == kSectorBad ? bad : run.value != 0 ? data : empty;
        painter.fillRect(QRect(run.left, 0, run.right - run.left, height()), colour);
    }
}

void GraphPaintBox::mouseMoveEvent(QMouseEvent* event) {
    emit hovered(static_cast<int>(event->position().x()));
}

TGraphBox::TGraphBox(QWidget* parent) : QDialog(parent) {
    setObjectName("GraphBox");
    setWindowTitle(T("Graph"));
    setMouseTracking(true);
    resize(640, 240);
    PaintBox1 = new GraphPaintBox(this);
    connect(PaintBox1, &GraphPaintBox::hovered, this, &TGraphBox::PaintBox1MouseMove);

    auto* legend = new QHBoxLayout;
    auto panel = [&](const char* name, const QColor& colour, const char* caption) {
        auto* swatch = new QLabel(this);
        swatch->setObjectName(name);
        const int side = swatch->fontMetrics().height();
        swatch->setFixedSize(side * 2, side);
        swatch->setAutoFillBackground(true);
        QPalette pal = swatch->palette();
        pal.setColor(QPalette::Window, colour);
        swatch->setPalette(pal);
        swatch->setFrameShape(QFrame::Box);
        legend->addWidget(swatch);
        legend->addWidget(new QLabel(T(caption), this));
        legend->addSpacing(side);
    };
    panel("Panel1", PaintBox1->empty, "No data");
    panel("Panel2", PaintBox1->data, "With data");
    panel("Panel3", PaintBox1->bad, "Read error");
    legend->addStretch();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PaintBox1, 1);
    layout->addLayout(legend);
    layout->addWidget(StatusBar1);
}

void TGraphBox::ShowGraph(std::vector<std::uint8_t> map, std::int64_t input_size,
                          const std::string& input_name) {
    if (input_size <= 0) return;
    map_ = std::move(map);
    input_size_ = input_size;
    input_name_ = input_name;
    PaintBox1->SetMap(&map_);
    set_caption();
    if (parentWidget()) move(parentWidget()->geometry().center() - rect().center());
    set_status({});
    show();
    raise();
}

void TGraphBox::set_caption() {
    if (input_name_.empty()) return;  // the design-time caption, until a graph is shown
    setWindowTitle(T("Graph of ") + Q(input_name_) + " (" +
                   Q(GroupedNumber(static_cast<std::uint64_t>(input_size_))) + " " + T("bytes") +
                   ")");
}

void TGraphBox::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) set_caption();
    QDialog::changeEvent(event);
}

QString TGraphBox::status_text() const {
    return StatusBar1->currentMessage();
}

void TGraphBox::set_status(const QString& text) {
    if (text.isEmpty())
        StatusBar1->clearMessage();
    else
        StatusBar1->showMessage(text);
}

void TGraphBox::PaintBox1MouseMove(int x) {
    const std::int64_t sector = GraphSectorAt(x, map_.size(), PaintBox1->width());
    const std::int64_t offset = sector * 512;
    if (sector < 0 || offset >= input_size_) {
        set_status({});
        return;
    }
    set_status(TF("Sector %d, Offset %s (%08lX)", sector,
                  GroupedNumber(static_cast<std::uint64_t>(offset)),
                  static_cast<std::uint32_t>(offset)));
}

void TGraphBox::mouseMoveEvent(QMouseEvent* event) {
    if (!status_text().isEmpty()) set_status({});
    QDialog::mouseMoveEvent(event);
}

void TGraphBox::hideEvent(QHideEvent* event) {
    // The map of a big card is large; a hidden graph keeps none.
    PaintBox1->SetMap(nullptr);
    map_.clear();
    map_.shrink_to_fit();
    QDialog::hideEvent(event);
}

}  // namespace lk::ui

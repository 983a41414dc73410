// The input graph window (TGraphBox): one bar across the window that shows,
// for every sector of the input, data, no data or a read error.
#pragma once

#include <QDialog>
#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

class QLabel;
class QStatusBar;

namespace lk::ui {

// One painted rectangle: columns [left, right) in the map's value.
struct GraphRun {
    int left;
    int right;
    std::uint8_t value;
    bool operator==(const GraphRun&) const = default;
};

// What a box `width` pixels wide paints for `map`. A box at least as wide as
// the map gives each sector width/length columns less one (an unpainted
// column separates neighbours); a narrower box gives each column k sectors
// (length/width, plus one when that leaves some over) and the largest value
// among them, so a read error outweighs data and data outweighs none.
std::vector<GraphRun> GraphRuns(const std::vector<std::uint8_t>& map, int width);

// The sector under column x of such a box, -1 when none is.
std::int64_t GraphSectorAt(int x, std::size_t length, int width);

// The paint box.
class GraphPaintBox : public QWidget {
    Q_OBJECT
  public:
    explicit GraphPaintBox(QWidget* parent = nullptr);
    void SetMap(const std::vector<std::uint8_t>* map) {
        map_ = map;
        update();
    }
    QColor empty = Qt::black;
    QColor data = QColor(0, 128, 0);
    QColor bad = Qt::red;

  signals:
    void hovered(int x);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    const std::vector<std::uint8_t>* map_ = nullptr;
};

class TGraphBox : public QDialog {
    Q_OBJECT
  public:
    explicit TGraphBox(QWidget* parent = nullptr);

    // Takes over the map and shows the window when the card size is above 0.
    void ShowGraph(std::vector<std::uint8_t> map, std::int64_t input_size,
                   const std::string& input_name);
    const std::vector<std::uint8_t>& map() const { return map_; }
    GraphPaintBox* paint_box() const { return PaintBox1; }
    QString status_text() const;

  protected:
    void hideEvent(QHideEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // A language change: the caption names the input in the new language.
    void changeEvent(QEvent* event) override;

  private:
    void set_caption();
    void PaintBox1MouseMove(int x);
    void set_status(const QString& text);

    std::vector<std::uint8_t> map_;
    std::int64_t input_size_ = 0;
    std::string input_name_;
    GraphPaintBox* PaintBox1;
    QStatusBar* StatusBar1;
};

}  // namespace lk::ui

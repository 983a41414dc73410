#include "ui/save_dialog.hpp"

#include <QCompleter>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>
#include <ctime>

#include "output/default_destination.hpp"
#include "output/destination.hpp"
#include "output/save_summary.hpp"
#include "output/size_words.hpp"
#include "ui/qt_text.hpp"

namespace lk::ui {

namespace {

// A typed path as a full one: "~" is the home folder, and a path that is
// not full is taken in the home folder (where the folder dialog starts).
QString full_path(const QString& typed) {
    QString path = typed.trimmed();
    if (path.isEmpty()) return path;
    if (path == "~" || path.startsWith("~/")) path = QDir::homePath() + path.mid(1);
    if (QDir::isRelativePath(path)) path = QDir::home().filePath(path);
    return QDir::cleanPath(path);
}

// The folder itself when it exists, else the nearest one above it.
QString nearest_existing(QString path) {
    while (!path.isEmpty() && !QFileInfo(path).isDir()) {
        const QString up = QFileInfo(path).path();
        if (up == path) return QDir::homePath();
        path = up;
    }
    return path.isEmpty() ? QDir::homePath() : path;
}

}  // namespace

TSaveDialog::TSaveDialog(QWidget* parent, const QString& what, const QString& proposed, Check check)
    : QDialog(parent), check_(std::move(check)) {
    setObjectName("SaveDialog");
    setWindowTitle(T("Saving recovered files"));

    auto* What = new QLabel(what, this);
    What->setObjectName("What");
    Folder = new QLineEdit(proposed, this);
    Folder->setObjectName("Folder");
    Folder->setMinimumWidth(Folder->fontMetrics().averageCharWidth() * 52);
    // Typing a path completes folder names, as the desktop's dialogs do.
    auto* folders = new QFileSystemModel(this);
    folders->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    folders->setRootPath(QDir::rootPath());
    auto* completer = new QCompleter(folders, this);
    Folder->setCompleter(completer);
    auto* label = new QLabel(T("&Folder:"), this);
    label->setBuddy(Folder);
    Choose = new QPushButton(T("&Choose Folder..."), this);
    Choose->setObjectName("Choose");
    Choose->setAutoDefault(false);
    connect(Choose, &QPushButton::clicked, this, &TSaveDialog::ChooseClick);
    Problem = new QLabel(this);
    Problem->setObjectName("Problem");
    Problem->setWordWrap(true);
    Problem->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette warning = Problem->palette();
    warning.setColor(QPalette::WindowText, QColor(0xc0, 0x1c, 0x28));
    Problem->setPalette(warning);
    Problem->hide();

    Buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    QPushButton* save = Buttons->button(QDialogButtonBox::Save);
    save->setObjectName("Save");
    save->setText(T("&Save"));
    save->setDefault(true);
    Buttons->button(QDialogButtonBox::Cancel)->setObjectName("Cancel");
    Buttons->button(QDialogButtonBox::Cancel)->setText(T("Cancel"));
    connect(Buttons, &QDialogButtonBox::accepted, this, &TSaveDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &TSaveDialog::reject);
    connect(Folder, &QLineEdit::textChanged, this, [this, save](const QString& text) {
        save->setEnabled(!text.trimmed().isEmpty());
        Problem->hide();
    });

    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(Folder, 1);
    row->addWidget(Choose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(What);
    layout->addLayout(row);
    layout->addWidget(Problem);
    layout->addStretch();
    layout->addWidget(Buttons);
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    // The answer most users give is Save: it has the focus.
    save->setFocus();
}

QString TSaveDialog::folder() const {
    return full_path(Folder->text());
}

void TSaveDialog::set_folder(const QString& path) {
    Folder->setText(QDir::toNativeSeparators(path));
}

void TSaveDialog::ChooseClick() {
    // The desktop's own folder dialog where there is one (it makes new
    // folders too), Qt's otherwise.
    QFileDialog dialog(this, T("Please choose the output directory"));
    dialog.setObjectName("FolderDialog");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setDirectory(nearest_existing(folder()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    set_folder(dialog.selectedFiles().first());
    Buttons->button(QDialogButtonBox::Save)->setFocus();
}

void TSaveDialog::accept() {
    const QString path = folder();
    if (path.isEmpty()) return;
    // A folder that cannot take the files is refused here, before anything
    // is written, and the dialog stays for another choice.
    const std::string refusal = check_ ? check_(S(path)) : std::string();
    if (!refusal.empty()) {
        Problem->setText(Q(refusal));
        Problem->show();
        Folder->setFocus();
        return;
    }
    set_folder(path);
    QDialog::accept();
}

std::optional<std::string> OutputDirectory::Choose(QWidget* parent, const std::string& input_name,
                                                   const std::vector<SaveItem>& list) {
    // Another card starts afresh.
    if (input_name != card_) {
        card_ = input_name;
        dir_.clear();
    }
    const std::string proposed =
        !dir_.empty() ? dir_
                      : DefaultDestination(PicturesFolder([](const char* name) { return std::getenv(name); }),
                                           input_name, std::time(nullptr), list);
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    for (const SaveItem& item : list)
        if (!item.root && !item.is_directory()) {
            ++files;
            bytes += item.size;
        }
    const QString what = TF("Files to save: %s (%s)", S(QLocale().toString(qulonglong(files))),
                            SizeWithUnit(bytes));
    TSaveDialog dialog(parent, what, Q(proposed), [&list](const std::string& folder) {
        return CheckDestination(folder, BytesToWrite(list, folder)).refusal;
    });
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    dir_ = S(dialog.folder());
    return dir_;
}

void ShowSaveSummary(QWidget* parent, const SaveOutcome& outcome, const std::string& folder) {
    const std::vector<std::string> lines = SaveSummaryLines(outcome, folder);
    // The first lines in the box, a long list of failures in its details.
    constexpr std::size_t kShownLines = 14;
    QString text, all;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        all += Q(lines[i]) + "\n";
        if (i < kShownLines) text += (i ? "\n" : "") + Q(lines[i]);
    }
    if (lines.size() > kShownLines) text += "\n...";
    QMessageBox box(outcome.failed() ? QMessageBox::Warning : QMessageBox::Information,
                    T("Saving recovered files"), text, QMessageBox::NoButton, parent);
    box.setObjectName("SaveSummary");
    if (lines.size() > kShownLines) box.setDetailedText(all);
    QPushButton* open = nullptr;
    if (!outcome.refused() && QFileInfo(Q(folder)).isDir()) {
        open = box.addButton(T("&Open Folder"), QMessageBox::ActionRole);
        open->setObjectName("OpenFolder");
    }
    QPushButton* ok = box.addButton(T("OK"), QMessageBox::AcceptRole);
    ok->setObjectName("OK");
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    if (open && box.clickedButton() == open) QDesktopServices::openUrl(QUrl::fromLocalFile(Q(folder)));
}

}  // namespace lk::ui

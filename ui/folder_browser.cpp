#include "ui/folder_browser.hpp"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <filesystem>

#include "ui/message_boxes.hpp"
#include "ui/qt_text.hpp"
#include "ui/widgets.hpp"

namespace lk::ui {

namespace {

constexpr int kMaxName = 259;

}  // namespace

TFolderBrowser::TFolderBrowser(QWidget* parent) : QDialog(parent) {
    setObjectName("FolderBrowser");
    setWindowTitle(T("Please choose the output directory"));
    resize(460, 420);

    model_ = new QFileSystemModel(this);
    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    model_->setRootPath("/");
    tree_ = new QTreeView(this);
    tree_->setObjectName("Folders");
    tree_->setModel(model_);
    for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
    tree_->header()->hide();
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) {
                if (index.isValid())
                    Path->setText(QDir::toNativeSeparators(model_->filePath(index)));
            });

    Path = new QLineEdit(this);
    Path->setObjectName("Path");
    NewDirectory = MakeButton(this, "NewDirectory", T("New directory"));
    connect(NewDirectory, &QPushButton::clicked, this, &TFolderBrowser::NewDirectoryClick);
    OK = MakeButton(this, "OK", T("OK"), true);
    auto* Cancel = MakeButton(this, "Cancel", T("Cancel"));
    connect(OK, &QPushButton::clicked, this, &TFolderBrowser::accept);
    connect(Cancel, &QPushButton::clicked, this, &TFolderBrowser::reject);
    connect(Path, &QLineEdit::textChanged, this,
            [this] { OK->setEnabled(!Path->text().trimmed().isEmpty()); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(NewDirectory);
    buttons->addStretch();
    buttons->addWidget(OK);
    buttons->addWidget(Cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tree_, 1);
    layout->addWidget(Path);
    layout->addLayout(buttons);
}

QString TFolderBrowser::result() const {
    return Path->text().trimmed();
}

void TFolderBrowser::set_result(const QString& path) {
    Path->setText(path);
    const QModelIndex index = model_->index(path);
    if (index.isValid()) {
        tree_->setCurrentIndex(index);
        tree_->scrollTo(index);
    }
    Path->setText(path);
}

std::optional<std::string> TFolderBrowser::Choose(const std::string& start) {
    if (QFileInfo(Q(start)).isDir())
        set_result(Q(start));
    else
        Path->clear();
    OK->setEnabled(!result().isEmpty());
    if (exec() != QDialog::Accepted) return std::nullopt;
    return S(result());
}

bool TFolderBrowser::CreateDirectory(const QString& name) {
    const QString path = name.startsWith('/') ? name : result() + "/" + name;
    std::error_code ec;
    const std::filesystem::path target(S(path));
    if (name.isEmpty() || !std::filesystem::create_directory(target, ec) || ec) {
        ShowMessage(MessageKind::Error, translate("Error"),
                    format(translate("Can not create directory %s"), S(path)));
        return false;
    }
    Path->setText(QDir::cleanPath(path));
    QDialog::accept();
    return true;
}

void TFolderBrowser::NewDirectoryClick() {
    if (result().isEmpty()) return;
    QInputDialog ask(this);
    ask.setObjectName("NewDirectoryName");
    ask.setWindowTitle(T("Please answer..."));
    ask.setLabelText(
        TF("Please enter a new directory name\nIt will be created in %s", S(result())));
    ask.setTextValue({});
    ask.setOkButtonText(T("OK"));
    ask.setCancelButtonText(T("Cancel"));
    if (auto* edit = ask.findChild<QLineEdit*>()) edit->setMaxLength(kMaxName);
    if (ask.exec() != QDialog::Accepted) return;
    CreateDirectory(ask.textValue());
}

void TFolderBrowser::accept() {
    if (result().isEmpty()) return;
    if (!QFileInfo(result()).isDir()) {
        ShowMessage(MessageKind::Error, translate("Error"),
                    format(translate("The directory %s does not exist"), S(result())));
        return;
    }
    QDialog::accept();
}

std::optional<std::string> OutputDirectory::Choose(QWidget* parent) {
    if (dir_.empty()) dir_ = S(QDir::currentPath());
    TFolderBrowser browser(parent);
    auto chosen = browser.Choose(dir_);
    if (chosen) dir_ = *chosen;
    return chosen;
}

}  // namespace lk::ui

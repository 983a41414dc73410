// The main window's languages: the user's language at start, the Language
// menu, every window translated after a switch, and the help page that
// follows the language.
#include <QActionGroup>
#include <QApplication>
#include <QDesktopServices>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>

#include "ui/ask_drive.hpp"
#include "ui/graph_box.hpp"
#include "ui/help.hpp"
#include "ui/main_form.hpp"
#include "ui/message_boxes.hpp"
#include "ui/qt_text.hpp"
#include "ui/size_form.hpp"
#include "ui/status_form.hpp"

#ifndef LK_HELP_INSTALL_DIR
#define LK_HELP_INSTALL_DIR ""
#endif

namespace lk::ui {

namespace {

constexpr int kMainHelpContext = 1000;

// Qt's name for the language of a row, for its own translations: "zh" is
// Chinese as written in China, "tw" Chinese as written in Taiwan.
QLocale qt_locale(std::string_view code) {
    if (code == "zh")
        return QLocale(QLocale::Chinese, QLocale::SimplifiedHanScript, QLocale::China);
    if (code == "tw")
        return QLocale(QLocale::Chinese, QLocale::TraditionalHanScript, QLocale::Taiwan);
    return QLocale(QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size())));
}

}  // namespace

void TMainForm::SetHelpContexts() {
    SetHelpContext(this, kMainHelpContext);
    SetHelpContext(AskDrive, 101);
    SetHelpContext(SizeForm.get(), 102);
    SetHelpContext(stform.get(), kMainHelpContext);
    SetHelpContext(GraphBox, kMainHelpContext);
    const std::pair<QAction*, int> contexts[] = {
        {acAnalyze, 301}, {acImage, 302},       {acGraph, 303}, {acSave, 304},
        {acSaveAll, 305}, {acReconstruct, 307}, {acExit, 306},  {acAbout, 9999},
    };
    for (const auto& [action, context] : contexts) SetHelpContext(action, context);
}

bool TMainForm::SelectLanguage(LangId id) {
    // What the windows show now is in the language still applied: texts set
    // since its last pass get their English originals while it can tell them.
    translator_.capture_all(language_);
    const std::optional<LanguageFileError> error = language_.select_language(id, this);
    if (!error) return true;
    // A language file that cannot be read is a fatal error.
    ShowMessage(MessageKind::Error, translate("Error"), error->text);
    close_down();
    hide();
    if (end_program) end_program(1);
    return false;
}

void TMainForm::LanguageClick(LangId id) {
    if (!SelectLanguage(id)) return;
    UpdateTitle();
}

void TMainForm::translate_all(const Language& language) {
    if (!language.reverse_mode()) {
        // The texts of Qt's own dialogs (the file dialogs, standard buttons),
        // from Qt's translations when it has some for the language.
        QCoreApplication::removeTranslator(&qt_texts_);
        if (const LanguageRow* row = language.current();
            row && qt_texts_.load(qt_locale(row->code), "qtbase", "_",
                                  QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(&qt_texts_);
    }
    translator_.translate_all(language);
    // Numbers, sizes and dates as the language writes them.
    if (const LanguageRow* row = language.current(); row && !language.reverse_mode())
        QLocale::setDefault(qt_locale(row->code));
    RetranslateOwnTexts();
    RetranslateFileList();
}

void TMainForm::language_menu_changed(const LanguageMenu& menu) {
    help_file_ = menu.help_file;
    // The same languages as before: only the check mark moves (the menu is
    // left as it is while one of its entries is being handled).
    const QList<QAction*> shown = Language1->actions();
    bool same = shown.size() == static_cast<qsizetype>(menu.items.size());
    for (qsizetype i = 0; same && i < shown.size(); ++i) {
        const LanguageMenuItem& item = menu.items[static_cast<std::size_t>(i)];
        same = shown[i]->isSeparator() == item.separator &&
               shown[i]->data().toUInt() == static_cast<unsigned>(item.id);
    }
    if (same) {
        for (qsizetype i = 0; i < shown.size(); ++i)
            shown[i]->setChecked(menu.items[static_cast<std::size_t>(i)].checked);
    } else {
        Language1->clear();  // the separator, which the menu owns
        for (QActionGroup* old : Language1->findChildren<QActionGroup*>()) old->deleteLater();
        // One radio group, as the entries are.
        auto* group = new QActionGroup(Language1);
        for (const LanguageMenuItem& item : menu.items) {
            if (item.separator) {
                Language1->addSeparator();
                continue;
            }
            auto* entry = new QAction(Q(std::string(item.caption)), group);
            KeepOwnTexts(entry);  // the languages' own English names
            entry->setCheckable(true);
            entry->setChecked(item.checked);
            entry->setData(static_cast<unsigned>(item.id));
            const LangId id = item.id;
            connect(entry, &QAction::triggered, this, [this, id] { LanguageClick(id); });
            Language1->addAction(entry);
        }
    }
    Language1->menuAction()->setVisible(menu.visible);
}

QUrl TMainForm::HelpUrl(int context) const {
    const std::filesystem::path app_dir = S(QCoreApplication::applicationDirPath());
    std::filesystem::path page = help_file_;
    if (page.empty())
        page = program_directory() / "lumenkeeper_en.html";  // before the first switch
    return ui::HelpUrl(page, context,
                       {app_dir, app_dir / "../share/lumenkeeper", LK_HELP_INSTALL_DIR});
}

void TMainForm::ShowHelp(int context) {
    const QUrl url = HelpUrl(context);
    if (url.isEmpty()) {
        status_.Error("The help file %s cannot be found",
                      help_file_.empty() ? "lumenkeeper_en.html" : help_file_.filename().string());
        return;
    }
    QDesktopServices::openUrl(url);
}

void TMainForm::acHelpExecute() {
    ShowHelp(kMainHelpContext);
}

}  // namespace lk::ui

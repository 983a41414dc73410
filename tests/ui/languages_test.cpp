// The windows in every language: each caption and hint is a text of the
// master file, the Language menu switches every window at run time and back,
// the help page follows the language, and every character of every built-in
// language has a font.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFontDatabase>
#include <QInputDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRawFont>
#include <QRegularExpression>
#include <QTest>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "input/input.hpp"
#include "lang/builtin_files.hpp"
#include "lang/language_file.hpp"
#include "tests/ui/gui_support.hpp"
#include "ui/ask_drive.hpp"
#include "ui/save_dialog.hpp"
#include "ui/main_form.hpp"
#include "ui/qt_text.hpp"
#include "ui/size_form.hpp"
#include "ui/status_form.hpp"
#include "ui/window_texts.hpp"

namespace lk {
namespace {

using namespace lk::test;
using ui::Q;
using ui::TMainForm;

QString without_marks(QString text) {
    return text.remove('&');
}

// The messages of a built-in file, "&" marks kept.
MessageMap builtin_messages(std::string_view code) {
    MessageMap map;
    for (const BuiltinLanguageFile& file : builtin_language_files())
        if (file.code == code) {
            EXPECT_FALSE(parse_language_file(file.data, file.file_name, map));
        }
    return map;
}

std::set<QString> master_texts() {
    std::set<QString> out;
    for (const auto& [number, info] : builtin_messages("xx"))
        out.insert(without_marks(QString::fromStdString(info.text)));
    return out;
}

// Whether a window's text is made of the master's texts: one of them, a
// format of them filled in ("It will be created in %s"), or lines that each
// are one, perhaps followed by a number ("Version 0.1.0").
class MasterTexts {
  public:
    MasterTexts() : texts_(master_texts()) {
        static const QRegularExpression conversion(
            R"(%[-+ 0#]*[0-9]*(\.[0-9]*)?(hh|h|ll|l|L|q|j|z|t|I64)?[a-zA-Z])");
        for (const QString& text : texts_) {
            if (!text.contains(conversion)) continue;
            QString pattern;
            qsizetype at = 0;
            for (auto it = conversion.globalMatch(text); it.hasNext();) {
                const QRegularExpressionMatch m = it.next();
                pattern += QRegularExpression::escape(text.mid(at, m.capturedStart() - at));
                pattern += "[\\s\\S]*";
                at = m.capturedEnd();
            }
            pattern += QRegularExpression::escape(text.mid(at));
            formats_.emplace_back(QRegularExpression::anchoredPattern(pattern));
        }
    }
    bool made_of(const QString& shown) const {
        const QString text = without_marks(shown);
        if (one(text)) return true;
        static const QRegularExpression number(" [0-9.]+$");
        const QStringList lines = text.split('\n');
        return lines.size() > 1 && std::all_of(lines.begin(), lines.end(), [&](QString line) {
                   return line.isEmpty() || one(line) || one(line.remove(number));
               });
    }

  private:
    bool one(const QString& text) const {
        return texts_.count(text) ||
               std::any_of(formats_.begin(), formats_.end(),
                           [&](const QRegularExpression& f) { return f.match(text).hasMatch(); });
    }
    std::set<QString> texts_;
    std::vector<QRegularExpression> formats_;
};

// A text with no words in it ("...", "/") needs no translation.
bool has_words(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isLetter(); });
}

// Every text the windows' walk translates, by component and property, with
// the component's class and name.
struct Shown {
    QString text;
    QString component;
};
using Texts = std::map<std::pair<QObject*, int>, Shown>;
Texts walked_texts(const std::vector<QObject*>& components) {
    Texts out;
    for (QObject* component : components)
        for (const ui::WindowText& t : ui::ComponentTexts(*component))
            out[{t.component, t.property}] = {
                t.text, QString(component->metaObject()->className()) + " " +
                            component->objectName() + " property " + QString::number(t.property)};
    return out;
}

std::vector<QObject*> with_children(QWidget& window) {
    std::vector<QObject*> out{&window};
    for (QObject* child : window.findChildren<QObject*>()) out.push_back(child);
    return out;
}

// Help pages standing in for the program's own, in a program directory of
// the test's.
struct ProgramDir {
    ProgramDir() {
        for (const char* code : {"en", "de"})
            std::ofstream(tmp / (std::string("lumenkeeper_") + code + ".html")) << "<html></html>";
    }
    LanguageSources sources() const { return LanguageSources{tmp.path()}; }
    test::TempDir tmp{"lk-langgui"};
};

// The pages the program asks the desktop to open.
class OpenedUrls : public QObject {
    Q_OBJECT
  public:
    OpenedUrls() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~OpenedUrls() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls << url; }
};

QAction* language_entry(TMainForm& form, LangId id) {
    for (QAction* entry : child<QMenu>(form, "Language1").actions())
        if (!entry->isSeparator() && entry->data().toUInt() == id) return entry;
    return nullptr;
}

// Shows the window (which applies the user's language) and cancels the
// input dialog that it opens.
void show_and_cancel(TMainForm& form) {
    auto asked = std::make_shared<bool>(false);
    when_modal<ui::TAskDrive>([asked](ui::TAskDrive& d) {
        *asked = true;
        d.reject();
    });
    form.show();
    ASSERT_TRUE(wait_for([&] { return *asked && !QApplication::activeModalWidget(); }, 10'000));
}

TEST(WindowTexts, EveryCaptionAndHintOfEveryWindowIsInTheMaster) {
    ModalWatchdog watchdog;
    const MasterTexts master;
    test::TempDir tmp;
    const std::string input_file = (tmp / "card.img").string();
    std::ofstream(input_file, std::ios::binary) << std::string(64 * 1024, '\0');
    TMainForm form;  // not shown: no language applied, the windows hold the master's texts

    Texts texts = walked_texts(ui::AllComponents());
    std::set<QString> windows;
    auto walk = [&](QWidget& window) {
        windows.insert(window.objectName());
        texts.merge(walked_texts(with_children(window)));
    };
    for (QWidget* window : QApplication::topLevelWidgets()) windows.insert(window->objectName());

    // The windows that exist only while they are shown.
    when_modal<QMessageBox>([&](QMessageBox& box) {
        walk(box);
        box.accept();
    });
    form.acAboutExecute();
    {
        ui::TSaveDialog save(&form, ui::TF("Files to save: %s (%s)", "1", "1 KB"), QString::fromStdString(tmp.path().string()), {});
        when_modal<ui::TSaveDialog>([&](ui::TSaveDialog& d) {
            walk(d);
            d.reject();
        });
        save.exec();
    }
    // The file dialogs: their titles and kinds of file are the program's,
    // the rest is Qt's own (translated by Qt's translations).
    std::vector<QString> file_dialog_texts;
    auto file_dialog = [&](QFileDialog& d) {
        windows.insert(d.objectName());
        file_dialog_texts.push_back(d.windowTitle());
        for (const QString& filter : d.nameFilters())
            file_dialog_texts.push_back(filter.section(" (", 0, 0));
        d.reject();
    };
    when_modal<ui::TAskDrive>([&](ui::TAskDrive& d) {
        click(d, "file");
        when_modal<QFileDialog>(file_dialog);
        click(d, "askfile");
        d.reject();
    });
    form.ask_drive().ChooseInput(false);
    ASSERT_TRUE(form.input().OpenInputFile(input_file));
    when_modal<QFileDialog>(file_dialog);
    form.acImageExecute();

    for (const char* name : {"AboutBox", "AskDrive", "CopyProgress", "GraphBox", "MainForm",
                             "OpenDialog1", "RerunQuestion", "SaveDialog", "SaveDialog1", "SizeForm",
                             "WaitSize", "stform"})
        EXPECT_TRUE(windows.count(name)) << name << " was not walked";

    int checked = 0;
    for (const auto& [where, shown] : texts) {
        if (!has_words(shown.text)) continue;
        ++checked;
        EXPECT_TRUE(master.made_of(shown.text))
            << qPrintable(shown.component) << ": \"" << qPrintable(shown.text)
            << "\" is not in lang/files/lumenstr_xx.lng";
    }
    for (const QString& text : file_dialog_texts) {
        ++checked;
        EXPECT_TRUE(master.made_of(text)) << "file dialog: \"" << qPrintable(text) << "\"";
    }
    EXPECT_GT(checked, 80);
}

// A message without its mnemonic marks, as it is compared with what the
// windows show (which may carry marks of their own).
QString message(const MessageMap& messages, std::int32_t number) {
    return without_marks(QString::fromStdString(messages.at(number).text));
}

TEST(Languages, TheMenuSwitchesEveryWindowAtRunTimeAndBack) {
    ModalWatchdog watchdog;
    ProgramDir dir;
    TMainForm form(false, {}, 0x0407, dir.sources());  // a German user
    const Texts original = walked_texts(ui::AllComponents());
    show_and_cancel(form);

    // The user's language at start, checked among the built-in ones.
    const MessageMap de = builtin_messages("de");
    QMenu& menu = child<QMenu>(form, "Language1");
    EXPECT_TRUE(menu.menuAction()->isVisible());
    EXPECT_EQ(menu.actions().size(), 19);  // no external files: no separator
    ASSERT_TRUE(language_entry(form, 0x07));
    EXPECT_TRUE(language_entry(form, 0x07)->isChecked());
    EXPECT_EQ(without_marks(language_entry(form, 0x07)->text()), "German");
    EXPECT_EQ(without_marks(child<QMenu>(form, "File1").title()), message(de, 1));
    EXPECT_EQ(without_marks(form.ask_drive().windowTitle()), message(de, 18));
    EXPECT_EQ(without_marks(child<QAbstractButton>(form.ask_drive(), "ldrive").toolTip()), message(de, 25));
    EXPECT_EQ(form.HelpUrl(1000).fileName(), "lumenkeeper_de.html");

    // A text the program set itself since, in German: the status window's
    // button at the end of a run.
    auto& button = child<QPushButton>(form.status_form(), "Cancel");
    button.setText(ui::T("Continue"));
    ASSERT_EQ(button.text(), message(de, 105));

    ASSERT_TRUE(language_entry(form, 0x19));
    language_entry(form, 0x19)->trigger();  // Russian
    const MessageMap ru = builtin_messages("ru");
    EXPECT_TRUE(language_entry(form, 0x19)->isChecked());
    EXPECT_FALSE(language_entry(form, 0x07)->isChecked());
    EXPECT_EQ(form.windowTitle(), "Lumenkeeper");
    EXPECT_EQ(without_marks(child<QMenu>(form, "File1").title()), message(ru, 1));
    EXPECT_EQ(without_marks(child<QAction>(form, "acAnalyze").text()), message(ru, 6));
    EXPECT_EQ(without_marks(child<QAction>(form, "acAnalyze").toolTip()), message(ru, 7));
    EXPECT_EQ(without_marks(form.ask_drive().windowTitle()), message(ru, 18));
    EXPECT_EQ(without_marks(child<QLabel>(form.rerun_question(), "Label1").text()), message(ru, 70));
    EXPECT_EQ(without_marks(button.text()), message(ru, 105));
    // Texts the windows compose: sizes with their units, the Range button.
    ui::TSizeForm& sizes = form.size_form();
    auto& card_size = child<QComboBox>(sizes, "CardSize");
    EXPECT_EQ(card_size.itemText(0), "1" + message(ru, 509));
    EXPECT_EQ(card_size.itemText(card_size.count() - 1), message(ru, 706));
    EXPECT_EQ(child<QComboBox>(sizes, "ClusterSize").itemText(0), "512 " + message(ru, 507));
    EXPECT_EQ(without_marks(child<QPushButton>(sizes, "Range").text()), message(ru, 304) + " >>");
    // No Russian page: the English one. Qt's own dialogs speak Russian too.
    EXPECT_EQ(form.HelpUrl(1000).fileName(), "lumenkeeper_en.html");
    EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");

    // English again: every text is the master's once more (its mnemonic
    // marks apart), whatever came between.
    language_entry(form, 0x09)->trigger();
    const Texts back = walked_texts(ui::AllComponents());
    int compared = 0;
    for (const auto& [where, shown] : original) {
        const auto now = back.find(where);
        if (now == back.end() || where.first == &form || where.first == &button) continue;
        ++compared;
        EXPECT_EQ(without_marks(now->second.text), without_marks(shown.text)) << qPrintable(shown.component);
    }
    EXPECT_GT(compared, 80);
    EXPECT_EQ(button.text(), "Continue");
    EXPECT_EQ(card_size.itemText(0), "1MB");
}

TEST(Languages, ExternalFilesFollowASeparatorAndABrokenOneEndsTheProgram) {
    ModalWatchdog watchdog;
    ProgramDir dir;
    std::ofstream(dir.tmp / "lumenstr_af.lng", std::ios::binary)
        << "INTS(1, \"&L\xea"
           "er\")\nINTS(22, \"Kanselleer\")\n";  // 8-bit
    std::ofstream(dir.tmp / "lumenstr_sq.lng", std::ios::binary) << "INTS(1, \"Skedar)\n";
    TMainForm form(false, {}, 0x0409, dir.sources());
    int exit_code = 0;
    form.end_program = [&](int code) { exit_code = code; };
    show_and_cancel(form);

    const QList<QAction*> entries = child<QMenu>(form, "Language1").actions();
    ASSERT_EQ(entries.size(), 22);
    EXPECT_TRUE(entries[19]->isSeparator());
    EXPECT_EQ(without_marks(entries[20]->text()), "Afrikaans");
    EXPECT_EQ(without_marks(entries[21]->text()), "Albanian");
    EXPECT_TRUE(language_entry(form, 0x09)->isChecked());

    entries[20]->trigger();
    EXPECT_TRUE(entries[20]->isChecked());
    EXPECT_EQ(child<QMenu>(form, "File1").title(), QString::fromUtf8("&L\u00eaer"));
    EXPECT_EQ(child<QPushButton>(form.ask_drive(), "Button2").text(), "Kanselleer");
    EXPECT_EQ(form.ask_drive().windowTitle(), "Photo Drive");  // not translated: English
    EXPECT_EQ(form.HelpUrl(1000).fileName(), "lumenkeeper_en.html");

    QString error;
    when_modal<QMessageBox>([&](QMessageBox& box) {
        error = box.text();
        box.accept();
    });
    entries[21]->trigger();
    EXPECT_EQ(error, Q((dir.tmp / "lumenstr_sq.lng").string() + ", 1, (lastnum 1): syntax error"));
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(exit_code, 1);
}

TEST(Languages, HelpOpensTheLanguagesPageAtTheContext) {
    ModalWatchdog watchdog;
    OpenedUrls opened;
    ProgramDir dir;
    TMainForm form(false, {}, 0x0407, dir.sources());
    show_and_cancel(form);
    const QUrl page = QUrl::fromLocalFile(
        Q(std::filesystem::canonical(dir.tmp / "lumenkeeper_de.html").string()));
    auto at = [&](int context) {
        QUrl url = page;
        url.setFragment(QString::number(context));
        return url;
    };

    form.acHelpExecute();
    ASSERT_EQ(opened.urls.size(), 1);
    EXPECT_EQ(opened.urls.back(), at(1000));

    // F1 on a highlighted menu entry: that command's context.
    QMenu& file = child<QMenu>(form, "File1");
    file.popup(form.mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(wait_for([&] { return file.isVisible(); }, 10'000));
    file.setActiveAction(&child<QAction>(form, "acImage"));
    QTest::keyClick(&file, Qt::Key_F1);
    file.hide();
    ASSERT_EQ(opened.urls.size(), 2);
    EXPECT_EQ(opened.urls.back(), at(302));

    // F1 in the input dialog: the dialog's context.
    when_modal<ui::TAskDrive>([](ui::TAskDrive& d) {
        QTest::keyClick(&d, Qt::Key_F1);
        d.reject();
    });
    form.ask_drive().ChooseInput(false);
    ASSERT_EQ(opened.urls.size(), 3);
    EXPECT_EQ(opened.urls.back(), at(101));
}

// Nothing may show as boxes: some installed font draws every character of
// every built-in language (scripts/setup.sh installs them).
TEST(Languages, EveryCharacterOfEveryLanguageHasAFont) {
    std::vector<QRawFont> fonts;
    for (const QString& family : QFontDatabase::families()) {
        QFont font(family);
        font.setPixelSize(12);
        fonts.push_back(QRawFont::fromFont(font));
    }
    ASSERT_FALSE(fonts.empty()) << "no fonts installed";
    for (const BuiltinLanguageFile& file : builtin_language_files()) {
        std::set<char32_t> chars;
        for (const auto& [number, info] : builtin_messages(file.code))
            for (char32_t c : QString::fromStdString(info.text).toUcs4())
                if (c >= 0x20) chars.insert(c);
        QString missing;
        for (char32_t c : chars)
            if (std::none_of(fonts.begin(), fonts.end(),
                             [c](const QRawFont& f) { return f.supportsCharacter(c); }))
                missing += QString::fromUcs4(&c, 1);
        EXPECT_TRUE(missing.isEmpty()) << file.file_name << ": no font has " << qPrintable(missing);
    }
}

}  // namespace
}  // namespace lk

#include "languages_test.moc"

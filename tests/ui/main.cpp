// The GUI tests run on the offscreen platform unless told otherwise, with one
// application object for the whole program.
#include <gmock/gmock.h>

#include <QApplication>
#include <QTemporaryDir>

namespace {

// The offscreen platform says for every window that it cannot raise it or
// pass size hints on; that says nothing about the windows.
void quiet_platform(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith("This plugin does not support")) return;
    qt_message_output(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(quiet_platform);
    // The windows keep their settings (size, view, zoom) where the desktop
    // keeps programs' settings: for the tests, a folder of their own that
    // starts empty.
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}

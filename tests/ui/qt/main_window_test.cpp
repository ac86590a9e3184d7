// The window on the offscreen platform, driven like a user: keys typed into the real fields,
// clicks on the real buttons and list rows, a call placed to a second, headless copy of the
// program on 127.0.0.1 and dropped again.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include "app/program.h"
#include "core/settings.h"
#include "core/lifecycle.h"
#include "platform/store.h"
#include "support/program_copy.h"
#include "ui/line_list.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_dialogs.h"
#include "ui/qt/qt_program.h"
#include "ui/qt/window_console.h"
#include "ui/window_actions.h"
#include "ui/window_model.h"

namespace tc::test {
namespace {

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) return true;
        QTest::qWait(20);
    }
    return done();
}

// A message box shown by the program, or null.
QMessageBox* openBox() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

class MainWindowView : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "qt_main_window_test";
        static char* argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }

    template <typename T> T* find(const char* name) {
        T* widget = program->window().findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void type(const char* fieldName, const QString& text) {
        auto* field = find<QLineEdit>(fieldName);
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    void click(const char* buttonName) {
        QTest::mouseClick(find<QPushButton>(buttonName), Qt::LeftButton);
    }
    std::string panel() { return find<QLabel>("panelWindow")->text().toStdString(); }

    static QApplication* app;
    QtProgram* program = nullptr;
};

QApplication* MainWindowView::app = nullptr;

TEST_F(MainWindowView, CallPlacedFromTheFieldsAndDropped) {
    TempDir dir;
    setStorePath(dir.file("window.conf"));
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    CopySetup setup;
    setup.id = "Bob";
    setup.password = "letmein";
    ASSERT_TRUE(bob.start(setup));
    ASSERT_TRUE(bob.waitReady()) << describe(bob);

    QtProgram view;
    program = &view;
    LaunchOptions options;
    options.audio = "null";
    ASSERT_EQ(view.start([options] { return runProgram(options, {"Alice"}); }), 0);
    MainWindow& window = view.window();
    ASSERT_TRUE(waitUntil([&] { return window.isVisible(); }));
    EXPECT_EQ(window.size(), QSize(640, 480));
    EXPECT_EQ(window.windowTitle(), "Talkcircle  [OUT]");
    EXPECT_EQ(find<QPushButton>("answerButton")->text(), "NO PORT");
    EXPECT_FALSE(find<QListWidget>("addressBookList")->isVisible());

    // The port field takes digits only.
    type("portField", "81a9");
    EXPECT_EQ(find<QLineEdit>("portField")->text(), "819");
    EXPECT_EQ(controlText(Control::portField), "819");

    // A letter typed in the line list is an action; the button shows the new state.
    auto* list = find<QListWidget>("lineList");
    QTest::keyClick(list, Qt::Key_M);
    EXPECT_EQ(settings.micMuted, 1);
    ASSERT_TRUE(waitUntil([&] { return find<QPushButton>("muteButton")->text() == "UNMUTE"; }));
    click("muteButton");
    EXPECT_EQ(settings.micMuted, 0);

    // Modes, Console opens the window console; a command typed there runs, and the Window
    // command closes the console again.
    window.menuAction(MENU_CONSOLE)->trigger();
    ConsoleWindow& console = view.consoleWindow();
    ASSERT_TRUE(waitUntil([&] { return console.isVisible(); }));
    EXPECT_EQ(console.windowTitle(), "Talkcircle Console");
    auto screenText = [&] { return console.screenView()->toPlainText().toStdString(); };
    EXPECT_TRUE(waitUntil([&] { return screenText().find(BANNER) != std::string::npos; }));
    QTest::keyClicks(console.input(), "Mute Y");
    QTest::keyClick(console.input(), Qt::Key_Return);
    EXPECT_TRUE(waitUntil([&] {
        return screenText().find("Microphone Muted") != std::string::npos;
    })) << screenText();
    EXPECT_EQ(settings.micMuted, 1);
    QTest::keyClicks(console.input(), "Window");
    QTest::keyClick(console.input(), Qt::Key_Return);
    EXPECT_TRUE(waitUntil([&] { return !console.isVisible(); }));
    click("muteButton");
    EXPECT_EQ(settings.micMuted, 0);

    // A menu item moves its check mark.
    window.menuAction(MENU_LOW_COMPRESSION)->trigger();
    EXPECT_TRUE(window.menuAction(MENU_LOW_COMPRESSION)->isChecked());
    EXPECT_FALSE(window.menuAction(MENU_HIGH_COMPRESSION)->isChecked());
    EXPECT_EQ(settings.defaultCompLevel, 3);

    // CALL with an empty host field: the CALL thread's error box, answered by a click.
    type("hostField", "");
    click("callButton");
    ASSERT_TRUE(waitUntil([] { return openBox() != nullptr; }));
    QMessageBox* box = openBox();
    EXPECT_EQ(box->windowTitle(), "ERROR");
    EXPECT_EQ(box->text(), "No IP or Domain Name");
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return view.dialogs().openBoxes() == 0; }));

    // The call, typed into the fields.
    type("hostField", "127.0.0.1");
    type("portField", QString::fromStdString(bob.portText()));
    type("pswdField", "letmein");
    click("callButton");
    ASSERT_TRUE(waitUntil([&] { return list->count() == 1; })) << panel();
    ASSERT_TRUE(bob.waitCalls(1)) << describe(bob);
    EXPECT_TRUE(waitUntil([&] {
        return list->item(0)->text().startsWith("#0: ") && list->item(0)->text().endsWith("[Bob]");
    })) << list->item(0)->text().toStdString();
    auto* states = find<QListWidget>("stateColumn");
    EXPECT_TRUE(
        waitUntil([&] { return states->count() == 1 && states->item(0)->text() == "ACTIVE "; }));
    EXPECT_NE(panel().find("Placing Call to 127.0.0.1 " + bob.portText() + " [letmein]"),
              std::string::npos);
    // A placed call puts the defaults back into the fields.
    EXPECT_TRUE(waitUntil([&] { return find<QLineEdit>("pswdField")->text().isEmpty(); }));
    EXPECT_EQ(find<QLineEdit>("hostField")->text(), "localhost");

    // DROP without a selection is refused; a click on the row selects it, then DROP ends it.
    click("dropButton");
    EXPECT_TRUE(waitUntil([&] { return panel().find("No Line Selected") != std::string::npos; }));
    QRect row = list->visualItemRect(list->item(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_TRUE(lineRowIsSelected(0));
    EXPECT_EQ(getSelectedLines(), std::vector<int>{0});
    click("dropButton");
    ASSERT_TRUE(bob.waitCalls(0)) << describe(bob);
    ASSERT_TRUE(waitUntil([&] { return list->count() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return states->count() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return panel().find("Disconnected") != std::string::npos; }));

    // QUIT ends the program once no line is left.
    click("quitButton");
    EXPECT_TRUE(waitUntil([] { return startupState.shutdownRequested.load(); }));
    EXPECT_EQ(view.finish(), 0);
    program = nullptr;
    EXPECT_EQ(bob.quit(), 0);
    setStorePath("");
}

// Questions asked from other threads: answered by a click, or closed when the asking thread's
// cancel flag is raised (an incoming call that ends while its question is open).
TEST_F(MainWindowView, QuestionsFromOtherThreadsAnswerOrCancel) {
    QtDialogs dialogs;
    std::atomic<int> answer{-1};
    std::thread asker([&] {
        answer = dialogs.ask("Incoming Call", "Accept call from Bob?", DialogButtons::yesNo);
    });
    ASSERT_TRUE(waitUntil([] { return openBox() != nullptr; }));
    QMessageBox* box = openBox();
    EXPECT_EQ(box->windowTitle(), "Incoming Call");
    EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
    QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return answer != -1; }));
    asker.join();
    EXPECT_EQ(answer, DIALOG_YES);

    std::atomic<uint8_t> ending{0};
    answer = -1;
    asker = std::thread([&] {
        answer =
            dialogs.ask("Incoming Call", "Accept call from Eve?", DialogButtons::yesNo, &ending);
    });
    ASSERT_TRUE(waitUntil([] { return openBox() != nullptr; }));
    QTest::qWait(150);
    EXPECT_EQ(answer, -1);
    ending = 1;
    EXPECT_TRUE(waitUntil([&] { return answer != -1; }));
    asker.join();
    EXPECT_EQ(answer, DIALOG_CLOSED);
    EXPECT_TRUE(waitUntil([] { return openBox() == nullptr; }));
    EXPECT_EQ(dialogs.openBoxes(), 0);

    // Once the view stops, questions return at once.
    dialogs.stop();
    std::thread late(
        [&] { answer = dialogs.ask("Talkcircle Query", "Still there?", DialogButtons::ok); });
    late.join();
    EXPECT_EQ(answer, DIALOG_CLOSED);
}

// The syntax box of "/?": only on a real display and not with --headless; title, sign, button.
TEST_F(MainWindowView, SyntaxBoxOnlyOnARealDisplay) {
    const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    std::vector<std::optional<std::string>> saved;
    for (const char* name : names)
        saved.push_back(getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt);
    auto wanted = [&](const char* display, const char* platform, bool headless) {
        for (const char* name : names)
            unsetenv(name);
        if (display) setenv("DISPLAY", display, 1);
        if (platform) setenv("QT_QPA_PLATFORM", platform, 1);
        return syntaxBoxWanted(headless);
    };
    EXPECT_TRUE(wanted(":0", nullptr, false));
    EXPECT_TRUE(wanted(":0", "xcb", false));
    EXPECT_FALSE(wanted(":0", nullptr, true));
    EXPECT_FALSE(wanted(":0", "offscreen", false));
    EXPECT_FALSE(wanted(":0", "minimal:enable_fonts", false));
    EXPECT_FALSE(wanted(nullptr, "xcb", false));
    for (size_t i = 0; i < saved.size(); ++i)
        saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);

    auto box = makeSyntaxBox("TALKCIRCLE CONSOLE  Version 1.1\n");
    EXPECT_EQ(box->windowTitle(), "SYNTAX");
    EXPECT_EQ(box->icon(), QMessageBox::Information);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    EXPECT_TRUE(box->text().startsWith("TALKCIRCLE CONSOLE"));
}

} // namespace
} // namespace tc::test

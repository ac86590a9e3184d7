// The window on the offscreen platform, driven like a user: keys typed into the real fields,
// clicks on the real buttons and list rows, a call placed to a second, headless copy of the
// program on 127.0.0.1 and dropped again; and questions asked from other threads.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <thread>

#include "app/program.h"
#include "core/line_table.h"
#include "platform/store.h"
#include "support/program_copy.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_dialogs.h"
#include "ui/qt/qt_program.h"
#include "ui/window_model.h"

namespace tc::test {
namespace {

void startApplication() {
    static int argc = 1;
    static char name[] = "ui_qt_tests";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!qApp) new QApplication(argc, argv);
}

// A message box on the screen, or null.
QMessageBox* openBox() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

TEST(MainWindowView, CallPlacedFromTheFieldsThenDroppedFreesBothSides) {
    startApplication();
    TempDir dir;
    setStorePath(dir.file("window.conf"));
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    CopySetup setup;
    setup.id = "Bob";
    setup.password = "letmein";
    ASSERT_TRUE(bob.start(setup) && bob.waitReady()) << describe(bob);
    QtProgram view;
    LaunchOptions options;
    options.audio = "null";
    ASSERT_EQ(view.start([options] { return runProgram(options, {"Alice"}); }), 0);
    MainWindow& window = view.window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.isVisible(); }, 10000));

    // Typed into the fields (the port field drops the letter) and placed with CALL.
    for (auto [name, text] : {std::pair<const char*, std::string>{"hostField", "127.0.0.1"},
                              {"portField", "x" + bob.portText()},
                              {"pswdField", "letmein"}}) {
        auto* field = window.findChild<QLineEdit*>(name);
        field->selectAll();
        QTest::keyClicks(field, QString::fromStdString(text));
    }
    EXPECT_EQ(controlText(Control::portField), bob.portText());
    QTest::mouseClick(window.findChild<QPushButton*>("callButton"), Qt::LeftButton);
    auto* list = window.findChild<QListWidget*>("lineList");
    auto* states = window.findChild<QListWidget*>("stateColumn");
    ASSERT_TRUE(QTest::qWaitFor([&] { return states->count() == 1 && list->count() == 1; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return states->item(0)->text() == "ACTIVE " && list->item(0)->text().endsWith("[Bob]");
        },
        10000));
    ASSERT_TRUE(bob.waitCalls(1)) << describe(bob);

    // A click on the row selects it; DROP ends the call on both sides.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(0)).center());
    EXPECT_TRUE(lineRowIsSelected(0));
    QTest::mouseClick(window.findChild<QPushButton*>("dropButton"), Qt::LeftButton);
    EXPECT_TRUE(bob.waitCalls(0)) << describe(bob);
    EXPECT_TRUE(QTest::qWaitFor([&] { return linesInUse() == 0 && list->count() == 0; }, 10000));
    EXPECT_EQ(view.finish(), 0);
    EXPECT_EQ(bob.quit(), 0);
}

// Questions asked from other threads: answered by a click, or closed when the asking thread's
// cancel flag is raised (an incoming call that ends while its question is open).
TEST(MainWindowView, QuestionsFromOtherThreadsAnswerOrCancel) {
    startApplication();
    QtDialogs dialogs;
    std::atomic<uint8_t> ending{0};
    for (int answer : {DIALOG_YES, DIALOG_CLOSED}) {
        std::atomic<int> got{-1};
        std::thread asker(
            [&] { got = dialogs.ask("Incoming Call", "Accept?", DialogButtons::yesNo, &ending); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return openBox() && dialogs.openBoxes() == 1; }, 10000));
        EXPECT_TRUE(openBox()->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(got, -1) << "the asking thread waits";
        if (answer == DIALOG_YES)
            QTest::mouseClick(openBox()->button(QMessageBox::Yes), Qt::LeftButton);
        ending = answer == DIALOG_CLOSED;
        EXPECT_TRUE(QTest::qWaitFor([&] { return got != -1 && !openBox(); }, 10000));
        asker.join();
        EXPECT_EQ(got, answer);
    }
    dialogs.stop(); // once the view stops, questions return at once
    std::thread([&] {
        EXPECT_EQ(dialogs.ask("Query", "Still there?", DialogButtons::ok), DIALOG_CLOSED);
    }).join();
}

// The syntax box of "/?" appears only on a real display and not with --headless.
TEST(MainWindowView, SyntaxBoxOnlyOnARealDisplay) {
    startApplication();
    setenv("DISPLAY", ":0", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    EXPECT_TRUE(syntaxBoxWanted(false));
    EXPECT_FALSE(syntaxBoxWanted(true));
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_FALSE(syntaxBoxWanted(false));
    auto box = makeSyntaxBox("TALKCIRCLE CONSOLE  Version 1.1\n");
    EXPECT_EQ(box->windowTitle(), "SYNTAX");
    EXPECT_TRUE(box->text().startsWith("TALKCIRCLE CONSOLE"));
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
}

} // namespace
} // namespace tc::test

#include <fstream>

#include "support/program_process.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

using Rows = std::vector<std::string>;

class AddressBook : public UiFixture {
  protected:
    // Writes a book file named after its first line: the lines joined by line feeds (end with ""
    // for a last one).
    std::string book(const Rows& lines) {
        std::string path = dir.file(lines[0] + ".bk");
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < lines.size(); ++i)
            out << (i ? "\n" : "") << lines[i];
        return path;
    }
    // The rows of the book shown in place of the text panel ("Ann,Bob,"), or "panel" once the
    // book is closed and the panel is back.
    std::string view() {
        if (!controlVisible(Control::addressBookList))
            return controlVisible(Control::panelWindow) && addressBookState.fd < 0 ? "panel" : "?";
        std::string rows;
        for (const std::string& row : addressRowTexts())
            rows += row + ",";
        return rows;
    }
    void open(const std::string& path) {
        settings.addressBookFile.set(path);
        pressControl(Control::addressBookButton);
    }
};

TEST_F(AddressBook, ListsLabelsUntilAnEmptyLabelAndClosesOnAnInvalidEntry) {
    open(book({"Office", "10.0.0.5", "8192", "", "Home\r", "127.0.0.1\r", "9000\r", "pw\r", "",
               "Ignored", "1.2.3.4", "1", ""}));
    EXPECT_EQ(view(), "Office,Home,") << "CR LF read as a line feed";
    setAddressSelection(1); // an ordinary entry closes the book
    pressControl(Control::addressBookButton);
    EXPECT_EQ(view(), "panel");

    // A missing port, or a last password line without its line feed, makes an invalid entry.
    for (const Rows& lines : {Rows{"One", "10.0.0.1", "1", "", "Two", "10.0.0.2", "", "", ""},
                              Rows{"One", "10.0.0.1", "1", "secret"}}) {
        open(book(lines));
        EXPECT_EQ(view(), "panel");
        EXPECT_EQ(console.take(), "Invalid Address Book Entry\n");
    }
}

TEST_F(AddressBook, MissingBooksAskForAFileAndLinksAreFollowed) {
    std::string team = book({"Ann", "10.0.0.7", "8192", "", "Bob", "10.0.0.8", "8192", "", ""});
    open(dir.file("none.bk")); // the dialog is cancelled
    EXPECT_EQ(console.take(), "Address Book Not Found\n");
    dialogs.chooseFile(team); // asked again: a picked file is listed but is not the current book
    pressControl(Control::addressBookButton);
    EXPECT_EQ(view(), "Ann,Bob,");
    EXPECT_EQ(settings.addressBookFile.get(), dir.file("none.bk"));

    // "+" lists the linked book; "++" makes it the current book, also when the link's file is
    // missing and one is picked in the dialog. With nothing selected, the button closes a book.
    std::string first = book({"+Team", team, "0", "", "++Team", team, "0", "", "++Gone",
                              dir.file("gone.bk"), "0", "", ""});
    dialogs.chooseFile(team);
    for (int row : {0, 1, 2}) {
        pressControl(Control::addressBookButton);
        open(first);
        setAddressSelection(row);
        pressControl(Control::addressBookButton);
        EXPECT_EQ(view(), "Ann,Bob,") << row;
        EXPECT_EQ(settings.addressBookFile.get(), row ? team : first) << row;
    }
}

TEST_F(AddressBook, CallFromAnEntryFillsTheFieldsAndKeepsThePassword) {
    std::string port = std::to_string(freePort()); // nothing listens there
    open(book({"Lab", "127.0.0.1", port, "", "+More", "x.bk", "0", "", ""}));
    EXPECT_EQ(callButton(), 1);
    setAddressSelection(1);
    EXPECT_EQ(callButton(), 1);
    setControlText(Control::pswdField, "kept");
    setAddressSelection(0);
    ASSERT_EQ(callButton(), 0);
    EXPECT_EQ(view(), "panel");
    // The refused call pauses 2 s before its line is given back; the fields stay for a retry.
    EXPECT_TRUE(eventually([] { return retiringThreadsRunning() == 0 && linesInUse() == 0; }));
    EXPECT_EQ(fields(), "127.0.0.1|" + port + "|kept");
    EXPECT_NE(panelText().find("Placing Call to 127.0.0.1 " + port + " [kept]"), std::string::npos);

    // Refusals are error boxes; a minus and a space queue the rest as a command.
    setControlText(Control::hostField, "");
    EXPECT_EQ(callFromFields(), 1);
    setControlText(Control::hostField, "127.0.0.1");
    setControlText(Control::portField, "");
    EXPECT_EQ(callFromFields(), 1);
    Rows boxes;
    for (const auto& q : dialogs.questions())
        boxes.push_back(q.title + ": " + q.text);
    EXPECT_EQ(boxes, (Rows{"ERROR: No Address Book Entry Selected",
                           "ERROR: Cannot Call Address Book - Click ADDRESS BOOK Button To Open",
                           "ERROR: No IP or Domain Name", "ERROR: No Port Number"}));
    setControlText(Control::hostField, "- Hold -1");
    EXPECT_EQ(callFromFields(), 0);
    EXPECT_STREQ(commandState.queue.commandBuffer, "Hold -1");
    EXPECT_EQ(fields(), "localhost|8192|");
}

} // namespace
} // namespace tc::test

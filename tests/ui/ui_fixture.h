#pragma once
// Shared set-up of the window tests: the command fixture's console and socket-pair lines, plus
// scripted dialogs, a private store file and a clean window model.
#include <string>

#include "commands/command_fixture.h"
#include "platform/store.h"
#include "support/program_process.h"
#include "ui/address_book.h"
#include "support/fake_dialogs.h"
#include "ui/line_list.h"
#include "ui/window_actions.h"
#include "ui/window_model.h"

namespace tc::test {

class UiFixture : public CommandFixture {
  protected:
    void SetUp() override {
        CommandFixture::SetUp();
        resetAddressBook();
        listDirty = 0;
        setDialogs(&dialogs);
        setStorePath(dir.file("talkcircle.conf"));
        settings.defaultCallAddress.set("localhost");
        settings.defaultCallPort.set("8192");
    }
    void TearDown() override {
        resetAddressBook();
        setDialogs(nullptr);
        setStorePath("");
        CommandFixture::TearDown();
    }

    // Puts line n in use and gives it a row in the line list.
    void lineWithRow(int n, bool accepted = true, uint32_t peerVersion = 0x01010000) {
        useLine(n, accepted, peerVersion);
        rowUpdate(n);
    }
    void selectRow(int row) { setLineRowSelected(row, true); }
    std::string field(Control c) { return controlText(c); }

    FakeDialogs dialogs;
    TempDir dir;
};

} // namespace tc::test

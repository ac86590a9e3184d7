#include "platform/dialogs.h"

namespace tc {

namespace {

// Until a view installs its own, every question counts as closed without an answer.
class NoDialogs : public Dialogs {
  public:
    int ask(const std::string&, const std::string&, DialogButtons,
            const std::atomic<uint8_t>*) override {
        return DIALOG_CLOSED;
    }
};

NoDialogs noDialogs;
std::atomic<Dialogs*> current{&noDialogs};

} // namespace

Dialogs& dialogs() {
    return *current.load();
}

void setDialogs(Dialogs* d) {
    current = d ? d : &noDialogs;
}

} // namespace tc

#include "ui/qt/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <cstdlib>

#include "core/settings.h"
#include "ui/window_actions.h"

namespace tc {

namespace {

constexpr int WINDOW_WIDTH = 640;
constexpr int WINDOW_HEIGHT = 480;
constexpr int REFRESH_MS = 50;
constexpr int PANEL_FONT_PIXELS = 11;

const char* const BANNER_LINES[] = {
    "TALKCIRCLE CONSOLE",
    "Voice calls over TCP/IP",
    "by the Talkcircle developers",
};

enum class Kind { label, button, field, portField, lineList, stateColumn, panel, addressList };

struct ControlSpec {
    Control control;
    Kind kind;
    const char* name;
    int x, y, w, h;
};

// The controls in creation order, with their places in the window.
const ControlSpec CONTROL_SPECS[] = {
    {Control::clockLabel, Kind::label, "clockLabel", 10, 5, 200, 20},
    {Control::hubButton, Kind::button, "hubButton", 10, 30, 80, 24},
    {Control::answerButton, Kind::button, "answerButton", 130, 30, 80, 24},
    {Control::idLabel, Kind::label, "idLabel", 420, 5, 200, 20},
    {Control::messageLabel, Kind::label, "messageLabel", 420, 30, 140, 20},
    {Control::forwardPortLabel, Kind::label, "forwardPortLabel", 570, 30, 50, 20},
    {Control::stateColumn, Kind::stateColumn, "stateColumn", 10, 60, 70, 108},
    {Control::lineList, Kind::lineList, "lineList", 80, 60, 540, 108},
    {Control::talkButton, Kind::button, "talkButton", 10, 174, 80, 24},
    {Control::allButton, Kind::button, "allButton", 10, 204, 80, 24},
    {Control::holdButton, Kind::button, "holdButton", 110, 174, 80, 24},
    {Control::holdAllButton, Kind::button, "holdAllButton", 110, 204, 80, 24},
    {Control::dropButton, Kind::button, "dropButton", 210, 174, 80, 24},
    {Control::dropAllButton, Kind::button, "dropAllButton", 210, 204, 80, 24},
    {Control::privateButton, Kind::button, "privateButton", 310, 174, 80, 24},
    {Control::invPrivButton, Kind::button, "invPrivButton", 310, 204, 80, 24},
    {Control::muteButton, Kind::button, "muteButton", 410, 174, 80, 24},
    {Control::quitButton, Kind::button, "quitButton", 410, 204, 80, 24},
    {Control::micGainField, Kind::field, "micGainField", 520, 174, 40, 24},
    {Control::micButton, Kind::button, "micButton", 570, 174, 50, 24},
    {Control::spkGainField, Kind::field, "spkGainField", 520, 204, 40, 24},
    {Control::spkButton, Kind::button, "spkButton", 570, 204, 50, 24},
    {Control::panelWindow, Kind::panel, "panelWindow", 10, 235, 610, 134},
    {Control::addressBookList, Kind::addressList, "addressBookList", 10, 235, 610, 134},
    {Control::autoMsgButton, Kind::button, "autoMsgButton", 10, 375, 120, 24},
    {Control::sendMessageButton, Kind::button, "sendMessageButton", 170, 375, 120, 24},
    {Control::addressBookButton, Kind::button, "addressBookButton", 320, 375, 130, 24},
    {Control::setIdButton, Kind::button, "setIdButton", 470, 375, 80, 24},
    {Control::compButton, Kind::button, "compButton", 560, 375, 60, 24},
    {Control::hostField, Kind::field, "hostField", 10, 405, 300, 24},
    {Control::portField, Kind::portField, "portField", 320, 405, 60, 24},
    {Control::pswdField, Kind::field, "pswdField", 390, 405, 160, 24},
    {Control::callButton, Kind::button, "callButton", 560, 405, 60, 24},
    {Control::overloadLabel, Kind::label, "overloadLabel", 220, 0, 180, 60},
};

struct MenuItemSpec {
    int id; // 0 = separator
    const char* text;
    bool checkable;
};

struct MenuSpec {
    const char* title;
    std::vector<MenuItemSpec> items;
};

const MenuSpec MENU_SPECS[] = {
    {"&File",
     {{MENU_SET_STARTUP, "&Set Startup", false},
      {MENU_DYNAMIC_DNS, "&Dynamic DNS", false},
      {0, nullptr, false},
      {MENU_HIDE_MINIMIZE, "&Hide/Minimize", false},
      {0, nullptr, false},
      {MENU_ADDRESS_BOOK, "&Address Book", false},
      {MENU_LOG, "&Log", true},
      {0, nullptr, false},
      {MENU_QUIT, "&Quit", false},
      {MENU_KILL, "&Kill", false}}},
    {"&Modes",
     {{MENU_CONSOLE, "&Console", false},
      {0, nullptr, false},
      {MENU_SET_RETRY, "&Set Retry", false},
      {0, nullptr, false},
      {MENU_LOW_COMPRESSION, "&Low Compression", true},
      {MENU_MEDIUM_COMPRESSION, "&Medium Compression", true},
      {MENU_HIGH_COMPRESSION, "&High Compression", true}}},
    {"&Tools",
     {{MENU_EXECUTE, "&Execute", false},
      {0, nullptr, false},
      {MENU_DNS_CHECK, "DNS &Check", false},
      {MENU_DNS_UPDATE, "DNS &Update", false}}},
    {"&Help",
     {{MENU_HELP, "&Help", false},
      {MENU_VERSION, "&Version", false},
      {MENU_ABOUT, "&About", false}}},
};

struct CheckSpec {
    int id;
    MenuCheck check;
};
const CheckSpec CHECK_SPECS[] = {
    {MENU_LOG, MenuCheck::log},
    {MENU_LOW_COMPRESSION, MenuCheck::lowCompression},
    {MENU_MEDIUM_COMPRESSION, MenuCheck::mediumCompression},
    {MENU_HIGH_COMPRESSION, MenuCheck::highCompression},
};

QFont panelFont() {
    QFont font(QStringLiteral("Courier"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(PANEL_FONT_PIXELS);
    return font;
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The client area: draws the banner that shows between the controls at the top.
class Canvas : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        int lineHeight = painter.fontMetrics().lineSpacing();
        int y = 0;
        for (const char* line : BANNER_LINES) {
            painter.drawText(QRect(0, y, width(), lineHeight), Qt::AlignHCenter | Qt::AlignTop,
                             QString::fromLatin1(line));
            y += lineHeight;
        }
    }
};

QListWidget* makeList(QWidget* parent, QListWidget* list) {
    list->setParent(parent);
    list->setUniformItemSizes(true);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return list;
}

// Replaces the items of a list when their texts differ. True when it did.
bool setItems(QListWidget* list, const std::vector<std::string>& rows, Qt::Alignment align) {
    bool same = list->count() == static_cast<int>(rows.size());
    for (int r = 0; same && r < list->count(); ++r)
        same = list->item(r)->text() == qs(rows[static_cast<size_t>(r)]);
    if (same) return false;
    list->clear();
    for (const std::string& row : rows) {
        auto* item = new QListWidgetItem(qs(row), list);
        item->setTextAlignment(align);
    }
    return true;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    if (text.empty()) return lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

} // namespace

void LineListWidget::keyPressEvent(QKeyEvent* event) {
    QString text = event->text();
    bool plainLetter = text.size() == 1 && text[0].isLetter() && text[0].unicode() < 0x80 &&
                       !(event->modifiers() & (Qt::AltModifier | Qt::ControlModifier));
    if (!plainLetter) {
        QListWidget::keyPressEvent(event);
        return;
    }
    lineListKey(text[0].toLatin1());
    event->accept();
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Talkcircle"));
    createMenu();
    auto* canvas = new Canvas(this);
    canvas->setObjectName(QStringLiteral("canvas"));
    int menuHeight = menuBar()->sizeHint().height();
    canvas->setFixedSize(WINDOW_WIDTH, WINDOW_HEIGHT - menuHeight);
    setCentralWidget(canvas);
    createControls(canvas);
    setFixedSize(WINDOW_WIDTH, WINDOW_HEIGHT);
    connect(&timer_, &QTimer::timeout, this, &MainWindow::refresh);
    timer_.start(REFRESH_MS);
    trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    refresh();
}

void MainWindow::createControls(QWidget* canvas) {
    for (const ControlSpec& place : CONTROL_SPECS) {
        QWidget* widget = nullptr;
        Control c = place.control;
        switch (place.kind) {
        case Kind::label:
        case Kind::panel: {
            auto* label = new QLabel(canvas);
            label->setTextFormat(Qt::PlainText); // peers' texts are shown as they are
            label->setFrameShape(QFrame::Box);
            label->setAutoFillBackground(true); // the banner shows only between controls
            if (place.kind == Kind::panel) {
                label->setFont(panelFont());
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            } else {
                label->setAlignment(Qt::AlignCenter);
                label->setWordWrap(c == Control::overloadLabel);
            }
            widget = label;
            break;
        }
        case Kind::button: {
            auto* button = new QPushButton(canvas);
            connect(button, &QPushButton::clicked, this, [c] { pressControl(c); });
            widget = button;
            break;
        }
        case Kind::field:
        case Kind::portField: {
            auto* field = new QLineEdit(canvas);
            field->setAlignment(Qt::AlignCenter);
            if (place.kind == Kind::portField)
                field->setValidator(new QRegularExpressionValidator(
                    QRegularExpression(QStringLiteral("[0-9]*")), field));
            connect(field, &QLineEdit::textEdited, this,
                    [c](const QString& text) { setControlText(c, text.toStdString()); });
            widget = field;
            break;
        }
        case Kind::lineList: {
            auto* list = makeList(canvas, new LineListWidget);
            list->setFont(panelFont());
            list->setSelectionMode(QAbstractItemView::MultiSelection);
            connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                    &MainWindow::lineSelectionChanged);
            widget = list;
            break;
        }
        case Kind::stateColumn: {
            auto* list = makeList(canvas, new QListWidget);
            list->setFont(panelFont());
            list->setSelectionMode(QAbstractItemView::NoSelection);
            list->setFocusPolicy(Qt::NoFocus);
            list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            widget = list;
            break;
        }
        case Kind::addressList: {
            auto* list = makeList(canvas, new QListWidget);
            list->setSelectionMode(QAbstractItemView::SingleSelection);
            connect(list, &QListWidget::itemSelectionChanged, this,
                    &MainWindow::addressSelectionChanged);
            widget = list;
            break;
        }
        }
        widget->setObjectName(QString::fromLatin1(place.name));
        widget->setGeometry(place.x, place.y, place.w, place.h);
        controls_[static_cast<size_t>(c)] = widget;
    }
    // The indicator lies over the gap between the clock and the ID.
    control(Control::overloadLabel)->raise();
}

void MainWindow::createMenu() {
    for (const MenuSpec& menuSpec : MENU_SPECS) {
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(menuSpec.title));
        for (const MenuItemSpec& item : menuSpec.items) {
            if (item.id == 0) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(QString::fromLatin1(item.text));
            action->setCheckable(item.checkable);
            int id = item.id;
            connect(action, &QAction::triggered, this, [this, id] {
                if (id == MENU_ABOUT)
                    showAbout();
                else
                    menuCommand(id);
                // A check mark shows the model's state, never just the click.
                shown_.version = ~windowModel.version.load();
                refresh();
            });
            actions_[id] = action;
        }
    }
    auto shortcut = [this](const char* keys, int id) {
        auto* s = new QShortcut(QKeySequence(QString::fromLatin1(keys)), this);
        connect(s, &QShortcut::activated, this, [this, id] {
            if (id == MENU_ABOUT)
                showAbout();
            else
                menuCommand(id);
        });
    };
    shortcut("Alt+/", MENU_ABOUT);
    shortcut("Alt+?", MENU_VERSION);
    shortcut("Alt+Shift+?", MENU_VERSION);
}

QAction* MainWindow::menuAction(int id) const {
    auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::refresh() {
    if (windowModel.version.load(std::memory_order_acquire) == shown_.version) return;
    render(snapshotWindow());
}

void MainWindow::render(const WindowSnapshot& s) {
    rendering_ = true;
    renderTexts(s);
    renderLineList(s);
    renderAddressList(s);
    for (const CheckSpec& check : CHECK_SPECS)
        actions_[check.id]->setChecked(s.menuChecks[static_cast<size_t>(check.check)]);
    rendering_ = false;
    renderWindowState(s);
    updateTrayIcon(s);
    shown_ = s;
}

void MainWindow::renderTexts(const WindowSnapshot& s) {
    for (const ControlSpec& place : CONTROL_SPECS) {
        size_t i = static_cast<size_t>(place.control);
        QWidget* widget = controls_[i];
        QString text = qs(s.texts[i]);
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->text() != text) label->setText(text);
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            if (button->text() != text) button->setText(text);
        } else if (auto* field = qobject_cast<QLineEdit*>(widget)) {
            if (field->text() != text) field->setText(text);
        }
        if (widget->isVisibleTo(this) != s.visible[i]) widget->setVisible(s.visible[i]);
    }
    auto* column = static_cast<QListWidget*>(control(Control::stateColumn));
    setItems(column, splitLines(s.texts[static_cast<size_t>(Control::stateColumn)]),
             Qt::AlignCenter);
}

void MainWindow::renderLineList(const WindowSnapshot& s) {
    auto* list = static_cast<QListWidget*>(control(Control::lineList));
    setItems(list, s.lineRows, Qt::AlignLeft | Qt::AlignVCenter);
    for (int r = 0; r < list->count(); ++r) {
        size_t row = static_cast<size_t>(r);
        bool selected = row < s.lineRowSelected.size() && s.lineRowSelected[row];
        if (list->item(r)->isSelected() != selected) list->item(r)->setSelected(selected);
        // Each row carries its line, so that a click acts on that line even when the model's
        // rows have moved since this drawing.
        int line = row < s.lineRowLines.size() ? s.lineRowLines[row] : -1;
        if (list->item(r)->data(Qt::UserRole) != line) list->item(r)->setData(Qt::UserRole, line);
    }
}

void MainWindow::renderAddressList(const WindowSnapshot& s) {
    auto* list = static_cast<QListWidget*>(control(Control::addressBookList));
    setItems(list, s.addressRows, Qt::AlignLeft | Qt::AlignVCenter);
    for (int r = 0; r < list->count(); ++r) {
        bool selected = r == s.addressSelection;
        if (list->item(r)->isSelected() != selected) list->item(r)->setSelected(selected);
    }
}

void MainWindow::renderWindowState(const WindowSnapshot& s) {
    if (s.killRequested) {
        // File, Kill: the program ends at once, lines and all.
        std::_Exit(0);
    }
    if (windowTitle() != qs(s.title)) setWindowTitle(qs(s.title));
    bool changed = !everShown_ || s.windowShown != shown_.windowShown ||
                   s.minimized != shown_.minimized || s.raiseCount != shown_.raiseCount;
    if (!changed) return;
    if (!s.windowShown && !trayAvailable && settings.trayIcon == 2) {
        noSystemTray(); // shown minimised on the next refresh
        return;
    }
    if (!s.windowShown) {
        if (everShown_) hide();
        return;
    }
    if (!everShown_) showForTheFirstTime();
    if (s.minimized) {
        showMinimized();
    } else {
        showNormal();
        raise();
        activateWindow();
    }
}

void MainWindow::showForTheFirstTime() {
    everShown_ = true;
    // In tray mode the window has no taskbar button, no system menu and no minimise box;
    // otherwise, and in tray mode without a system tray (where it could not be brought back),
    // it can be minimised. It never has a working close box: Quit ends the program. The window
    // manager places it.
    Qt::WindowFlags flags = Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (settings.trayIcon != 0 && trayAvailable)
        flags |= Qt::Tool;
    else
        flags |= Qt::Window | Qt::WindowMinimizeButtonHint;
    setWindowFlags(flags);
}

// Start-up adds the icon once it knows the port; its tip is the window title.
void MainWindow::updateTrayIcon(const WindowSnapshot& s) {
    if (!s.trayIconShown) return;
    if (!tray_) {
        tray_ = new QSystemTrayIcon(QApplication::windowIcon(), this);
        connect(tray_, &QSystemTrayIcon::activated, this,
                [](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::Trigger) trayClick();
                });
        if (trayAvailable) tray_->show();
    }
    if (tray_->toolTip() != qs(s.title)) tray_->setToolTip(qs(s.title));
}

void MainWindow::showAbout() {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("About"),
                    QStringLiteral("%1\n\nVoice calls over TCP/IP between copies of "
                                   "Talkcircle.\nA program of the Talkcircle developers.")
                        .arg(QString::fromLatin1(BANNER)),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::lineSelectionChanged(const QItemSelection& selected,
                                      const QItemSelection& deselected) {
    if (rendering_) return;
    for (const QModelIndex& row : selected.indexes())
        setLineSelected(row.data(Qt::UserRole).toInt(), true);
    for (const QModelIndex& row : deselected.indexes())
        setLineSelected(row.data(Qt::UserRole).toInt(), false);
}

void MainWindow::addressSelectionChanged() {
    if (rendering_) return;
    auto* list = static_cast<QListWidget*>(control(Control::addressBookList));
    QList<QListWidgetItem*> selected = list->selectedItems();
    setAddressSelection(selected.isEmpty() ? -1 : list->row(selected.first()));
}

void MainWindow::changeEvent(QEvent* event) {
    // Minimised or restored by the user through the window manager: the model follows, so that
    // the next Hide/Minimize acts again.
    if (event->type() == QEvent::WindowStateChange && everShown_) {
        bool minimized = isMinimized();
        if (snapshotWindow().minimized != minimized) setWindowMinimized(minimized);
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The window has no working Close command; Quit and Kill end the program.
    if (!closing_) event->ignore();
}

} // namespace tc

#pragma once
#include <cstdint>
#include <string>

#include "core/settings.h"
#include "ui/window_model.h"

namespace tc {

// Menu items and accelerators, by the identifiers the window dispatches on.
constexpr int MENU_SET_STARTUP = 32781;
constexpr int MENU_DYNAMIC_DNS = 32786;
constexpr int MENU_HIDE_MINIMIZE = 32785;
constexpr int MENU_ADDRESS_BOOK = 32792;
constexpr int MENU_LOG = 32779;
constexpr int MENU_QUIT = 32773;
constexpr int MENU_KILL = 105;
constexpr int MENU_CONSOLE = 32772;
constexpr int MENU_SET_RETRY = 32784;
constexpr int MENU_LOW_COMPRESSION = 32789;
constexpr int MENU_MEDIUM_COMPRESSION = 32782;
constexpr int MENU_HIGH_COMPRESSION = 32790;
constexpr int MENU_EXECUTE = 32783;
constexpr int MENU_DNS_CHECK = 32787;
constexpr int MENU_DNS_UPDATE = 32788;
constexpr int MENU_HELP = 32771;
constexpr int MENU_VERSION = 32780;
constexpr int MENU_ABOUT = 104;

// Diagnostic bits that change what the window does.

// The window events, numbered as the diagnostic trace prints them.
constexpr uint32_t WINDOW_EVENT_KEY = 0x2E;      // a letter typed in the line list
constexpr uint32_t WINDOW_EVENT_COMMAND = 0x111; // a control or a menu item
constexpr uint32_t WINDOW_EVENT_TRAY = 0x3C01;   // a click on the tray icon
constexpr uint32_t MAIN_WINDOW_HANDLE = 1;       // the main window in the trace

// --- what the view calls ---

// A click on a button of the main window (any other control does nothing).
void pressControl(Control control);
// A menu item or accelerator. MENU_ABOUT is the view's own dialog and does nothing here.
void menuCommand(int id);
// A key typed while the line list has the focus; only the letters A to T act (either case).
void lineListKey(int key);
// A click on the tray icon.
void trayClick();
// There is no system tray (trayAvailable is false): a window that was to be hidden in it is
// shown minimised instead.
void noSystemTray();

// --- the actions themselves ---

// Drops every line and ends the program once none is left.
void quitProgram();
// The "Q" key: asks first.
void askAndQuit();
// Ends the program at once, without dropping any line.
void killProgram();
void cycleIncomingMode();
void cycleHubMode();
void setAutoMessage();
void sendTextMessage();
void setOwnId();
// MIKE (mic = true) and SPKR.
void applyGain(bool mic);
void toggleMute();
void toggleCompression();
void setAutoRetry();
void exportRequest();
void executeCommand();
void setStartupValue();
void setDynamicDns();
void hideOrMinimize();
void setCompressionLevel(int level);
void showHelp();
void printVersion();

// The help text of Help, Help.
std::string helpText();

// --- the fields at the bottom ---

// At most `limit` characters of a field.
std::string readField(Control field, size_t limit);
// Puts the field's default back (host, port or password field), unless NoErase.
void resetField(Control field);
// Empties the field, unless NoErase.
void clearField(Control field);
bool noErase();

// Prints "%08x %08x %08x %08x\n" (window, event, wParam, lParam) to the console and the log
// while the WinMsg bit is set.
void traceWindowEvent(uint32_t event, uint32_t wParam, uint32_t lParam);

} // namespace tc

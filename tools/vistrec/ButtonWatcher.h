// Watches the pointer buttons of the X display for the click effects: a thread of its own with
// a connection of its own receives XInput2 raw button presses from every pointer, whichever
// window has them (even under a grab), and reports each left or right press.
#ifndef VISTREC_CLI_BUTTONWATCHER_H
#define VISTREC_CLI_BUTTONWATCHER_H

#include <functional>
#include <string>
#include <thread>

namespace vistrec_cli {

class ButtonWatcher {
  public:
    // Receives the window message of each press: 0x201 left, 0x204 right. Called on the
    // watcher's thread.
    using OnPress = std::function<void(int message)>;

    ButtonWatcher() = default;
    ~ButtonWatcher() { Stop(); }
    ButtonWatcher(const ButtonWatcher&) = delete;
    ButtonWatcher& operator=(const ButtonWatcher&) = delete;

    // Opens $DISPLAY, asks for the raw button events and starts the thread. Empty when it
    // watches; otherwise why it cannot.
    std::string Start(OnPress onPress);
    // Ends the thread and closes the connection; nothing once stopped or never started.
    void Stop();

  private:
    void Run();

    OnPress onPress_;
    void* display_ = nullptr;  // Display*, kept out of this header
    int xiOpcode_ = 0;
    unsigned char buttonMap_[256] = {};  // physical button -> logical button (1 left, 3 right)
    int stopPipe_[2] = {-1, -1};         // written once to wake and end the thread
    std::thread thread_;
};

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_BUTTONWATCHER_H

#pragma once

// The library's own client for Shure microphone arrays: one TCP link to the array's command
// port (2202), reading the automix gate reports it sends, and recalling on the camera the
// preset linked to the one channel whose gate is open. Nothing is ever written to the array.
//
// A gate report is recognised by fixed byte offsets from the start of a received block, the
// layout "< REP 3 AUTOMIX_GATE_OUT_EXT_SIG ON >": the channel digit at 6, the keyword's last
// letter "G" at 31, and "N" (ON) or "F" (OFF) at 34. Only the report at the start of a block
// is examined.
//
// One link per process (shared()); the gate bytes and the last selected channel are
// process-wide and survive a close (a close only turns every gate off).
//
// Threading: meant for one thread at a time. Every call holds _mutex for its whole run, a
// read included (up to the 1000 ms receive timeout, plus 200 ms after a recall), so a call
// from a second thread waits instead of racing on the socket.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class KXIUSBControl;

class KXShureArrayClient {
public:
    static constexpr int kPort = 2202;
    static constexpr int kReceiveTimeoutMs = 1000;
    static constexpr int kConnectTimeoutMs = 3000;
    static constexpr int kRecallPauseMs = 200;
    static constexpr int kReadSize = 256;

    static KXShureArrayClient& shared();

    KXShureArrayClient() = default;
    ~KXShureArrayClient();
    KXShureArrayClient(const KXShureArrayClient&) = delete;
    KXShureArrayClient& operator=(const KXShureArrayClient&) = delete;

    // Connects to the array at the dotted IPv4 address `ip`, port 2202. An address that does
    // not parse answers false without touching the network. On success the new connection
    // becomes the link (a link still open from before is closed).
    bool connect(const char* ip);

    // close: turns every gate off, closes the link and answers the selected channel.
    // Otherwise reads one block (waiting at most the receive timeout), applies a gate report
    // at its start, recalls the preset of the single open channel when it changed (a channel
    // missing from `presetMap` recalls preset 0) and answers the selected channel (0: none
    // yet). A peer close answers 0.
    // The preset is recalled on `camera` (the receiver the host reads through; null: none);
    // the two-argument form recalls on the current controller.
    int receive(bool close, const std::map<int, int>& presetMap, KXIUSBControl* camera);
    int receive(bool close, const std::map<int, int>& presetMap);

    // State, for diagnostics and tests.
    int selectedPosition() const;
    bool gateOn(int channel) const;  // channel 1..8
    bool connected() const;

private:
    void closeLocked();

    mutable std::mutex _mutex;
    int _socket = -1;                  // guarded by _mutex; -1 without a link
    std::array<uint8_t, 9> _gateOn{};  // guarded by _mutex; [1..8], [0] unused
    uint8_t _selectedPosition = 0;     // guarded by _mutex
};

// The camera server's socket side: what it makes of the lines a client sends. The peer is
// hostile: a request may come in any pieces, a line may be garbage or never end, and none of
// that may stop the server from answering the next request or another client.

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "KXJsonLine.h"
#include "Platform/sim/KXUnixSocket.h"
#include "SimServer.h"

namespace {

using kxjson::Json;

constexpr int kTimeoutMs = 5000;

// One connection to the server, with a line reader as bounded as the library's.
class Connection {
public:
    explicit Connection(const std::string& path) : _fd(kxsock::connectUnix(path)) {}
    ~Connection() { kxsock::closeSocket(_fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool open() const { return _fd >= 0; }
    bool send(const std::string& bytes) { return kxsock::sendAll(_fd, bytes, kTimeoutMs); }
    kxsock::LineResult receive(std::string& line) {
        return kxsock::receiveLine(_fd, _reader, line, kTimeoutMs);
    }
    // The next answer as JSON (null when none came or it was not JSON).
    Json answer() {
        std::string line;
        if (receive(line) != kxsock::LineResult::Line) {
            return Json();
        }
        return kxjson::parse(line).value_or(Json());
    }

private:
    int _fd;
    KXLineReader _reader{1u << 20};
};

class SimServerTest : public ::testing::Test {
protected:
    SimServer sim;
};

TEST_F(SimServerTest, EveryLineIsAnsweredInOrderWhateverItHolds) {
    Connection client(sim.socketPath());
    ASSERT_TRUE(client.open());
    // A request in single bytes and one ended by "\r\n" are requests like any other.
    for (const char c : std::string("{\"op\":\"usb_devices\"}\n")) {
        ASSERT_TRUE(client.send(std::string(1, c)));
    }
    ASSERT_TRUE(client.send("{\"op\":\"capture_devices\",\"class\":\"video\"}\r\n"));
    // Garbage, an empty line, an operation of nobody's and an "op" of the wrong type each
    // get a refusal; two lines in one piece, two answers.
    ASSERT_TRUE(
        client.send("{\"ok\":tru\n\n\xff\xfe\x01\n{\"op\":\"nosuch\"}\n{\"op\":5}\n{\"op\":\"watch\"}\n"));

    const Json devices = client.answer();
    EXPECT_TRUE(kxjson::flag(devices, "ok"));
    EXPECT_TRUE(kxjson::member(devices, "devices") != nullptr);
    EXPECT_TRUE(kxjson::flag(client.answer(), "ok"));
    for (const char* refused : {"garbage", "empty", "bytes", "nosuch", "op 5"}) {
        const Json answer = client.answer();
        EXPECT_TRUE(answer.is_object() && !kxjson::flag(answer, "ok", true))
            << refused << ": " << kxjson::dump(answer);
        EXPECT_FALSE(kxjson::text(answer, "error").empty()) << refused;
    }
    EXPECT_TRUE(kxjson::flag(client.answer(), "ok"));
    ASSERT_TRUE(sim.waitForWatchers(1, kTimeoutMs));

    // What was not JSON stands in the journal as its text.
    const std::vector<Json> journal = sim.journal();
    ASSERT_EQ(journal.size(), 8u);
    EXPECT_EQ(journal[2], Json("{\"ok\":tru"));
    EXPECT_EQ(journal[3], Json(""));
    EXPECT_EQ(kxjson::text(journal[7], "op"), "watch");
}

TEST_F(SimServerTest, ALineOverTheBoundEndsItsConnectionOnly) {
    Connection other(sim.socketPath());
    Connection client(sim.socketPath());
    ASSERT_TRUE(other.open() && client.open());
    // Just under the bound is still a request.
    std::string padded = "{\"op\":\"usb_devices\"}";
    padded += std::string(SimServer::kMaxRequestBytes - padded.size(), ' ') + "\n";
    ASSERT_TRUE(client.send(padded));
    EXPECT_TRUE(kxjson::flag(client.answer(), "ok"));

    // A line that never ends, sent in pieces: the server stops reading it once it passes the
    // bound and closes the connection, rather than holding ever more of it.
    const std::string piece(16 * 1024, 'x');
    bool sent = true;
    for (size_t total = 0; sent && total <= 4 * SimServer::kMaxRequestBytes; total += piece.size()) {
        sent = client.send(piece);
    }
    // Closed, or reset because the server left bytes unread.
    std::string line;
    const kxsock::LineResult ended = client.receive(line);
    EXPECT_TRUE(ended == kxsock::LineResult::Closed || ended == kxsock::LineResult::Error)
        << static_cast<int>(ended);
    EXPECT_EQ(sim.journal().size(), 1u);

    // The other client is served as before.
    ASSERT_TRUE(other.send("{\"op\":\"usb_devices\"}\n"));
    EXPECT_TRUE(kxjson::flag(other.answer(), "ok"));
}

TEST_F(SimServerTest, OnlyOperationsOutsideTheProtocolReachTheControlHandler) {
    std::mutex mutex;
    std::vector<std::string> controlled;  // guarded by mutex: written on the server thread
    sim.setControlHandler([&](const Json& request) {
        std::lock_guard<std::mutex> lock(mutex);
        controlled.push_back(kxjson::text(request, "op"));
        return Json{{"ok", true}, {"controlled", true}};
    });
    Connection client(sim.socketPath());
    ASSERT_TRUE(client.open());
    const std::vector<std::string> protocol = {"usb_devices", "capture_devices", "xu", "watch"};
    for (const std::string& op : protocol) {
        ASSERT_TRUE(client.send(kxjson::dump(Json{{"op", op}}) + "\n"));
        EXPECT_FALSE(kxjson::flag(client.answer(), "controlled")) << op;
    }
    for (const char* op : {"status", "plug", "XU"}) {
        ASSERT_TRUE(client.send(kxjson::dump(Json{{"op", op}}) + "\n"));
        EXPECT_TRUE(kxjson::flag(client.answer(), "controlled")) << op;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(controlled, (std::vector<std::string>{"status", "plug", "XU"}));
    }
    // Protocol requests are journalled and counted; control requests are not.
    std::set<std::string> journalled;
    for (const Json& request : sim.journal()) {
        journalled.insert(kxjson::text(request, "op"));
    }
    EXPECT_EQ(journalled, std::set<std::string>(protocol.begin(), protocol.end()));
    for (const std::string& op : protocol) {
        EXPECT_EQ(sim.answered(op), 1u) << op;
    }
}

}  // namespace

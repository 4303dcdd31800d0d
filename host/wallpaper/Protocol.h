#pragma once
// The wallpaper process's wire protocol: one message per packet on a SOCK_SEQPACKET
// socketpair, so messages keep their boundaries, a write from any thread of the child (or from
// its signal handlers) is one whole message, and the buffers' memfds travel with the message
// that introduces them (SCM_RIGHTS).
//
// Every message starts with a header: magic "BDWP" (u32), type (u16), 0 (u16), request number
// (u64). Numbers are native-endian (both ends are the same program on the same machine). The
// parent reads the child's messages as hostile input: Reader never reads past a message,
// strings and counts are bounded before anything is sized by them, and a message that is too
// long, carries descriptors, or has bytes left over is refused.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host::wire {

constexpr uint32_t kMagic = 0x50574442;  // "BDWP" in memory order
constexpr size_t kMaxMessage = size_t(64) * 1024;
constexpr size_t kMaxText = 4096;  // one string
constexpr size_t kMaxLines = 64;   // strings in a Reply
constexpr size_t kMaxRects = 64;   // damaged rectangles in a Frame
constexpr size_t kMaxPcs = 48;     // return addresses in a Crash
constexpr int kMaxBuffers = 3;

enum class Type : uint16_t {
    // Parent to child.
    Setup = 1,  // the options, with the buffers' memfds; answered by Ready
    Request,    // a protocol operation, property or touch; answered by Reply
    Render,     // draw a frame, after the buffers released since the last one; answered by
                // Frame (or Reply false "no free buffer")
    Release,    // the parent no longer reads a buffer (also carried by Render); no answer
    Screen,     // new screen and buffers, with their memfds; answered by Reply
    Step,       // a named check step; answered by Reply with lines
    Ping,       // answered by Reply (liveness of the child's main thread)
    Calls,      // the summary of protocol calls; answered by Reply with one line
    // Child to parent.
    Ready = 64,   // set up (and loaded): ok, sandbox level, error
    Frame,        // a frame is ready in a buffer
    Reply,        // the answer to one request
    Changed,      // the scene changed outside a request
    Denied,       // the sandbox refused an attempt
    Crash,        // a fatal signal: signal, code, address, return addresses
    OutOfMemory,  // an allocation failed
    Started,      // set up and sandboxed; what follows until Ready is the wallpaper's loading
};

struct Header {
    Type type;
    uint64_t seq;
};

// Builds one message.
class Writer {
  public:
    Writer(Type type, uint64_t seq);  // [any-thread]
    // [any-thread]
    Writer& u8(uint8_t v);
    Writer& u16(uint16_t v);
    Writer& u32(uint32_t v);
    Writer& u64(uint64_t v);
    Writer& i32(int32_t v);
    Writer& i64(int64_t v);
    Writer& f64(double v);
    Writer& str(const std::string& s);  // cut to kMaxText bytes
    const std::vector<uint8_t>& bytes() const { return _b; }

  private:
    void put(const void* p, size_t n);
    std::vector<uint8_t> _b;
};

// Reads one message; every read past the end (or a string over its bound) fails and makes
// ok() false for good, returning zeros.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size);  // [any-thread]
    // [any-thread]
    bool header(Header* h);  // magic and layout checked
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    int32_t i32();
    int64_t i64();
    double f64();
    std::string str(size_t maxBytes = kMaxText);
    bool ok() const { return _ok; }
    // ok() and every byte read.
    bool finished() const { return _ok && _at == _size; }

  private:
    bool take(void* p, size_t n);
    const uint8_t* _p;
    size_t _size, _at = 0;
    bool _ok = true;
};

// [any-thread] Sends one message, with descriptors when fds is not empty. Blocks while the
// socket is full; false when the peer is gone.
bool send(int socket, const Writer& message, const std::vector<int>& fds = {});
// [async-signal-safe] Sends raw bytes as one message without blocking for long: for signal
// handlers and the child's shims.
bool sendRaw(int socket, const void* bytes, size_t size);

enum class Received { Message, Nothing, Closed, Refused };
// [any-thread] Reads one message without blocking. With fds null, a message that carries
// descriptors is Refused (and they are closed); with fds, up to kMaxBuffers are taken.
// Refused also for a message longer than kMaxMessage.
Received receive(int socket, std::vector<uint8_t>* message, std::vector<int>* fds);

}  // namespace host::wire

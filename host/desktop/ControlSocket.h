#pragma once
// The daemon's control socket: $XDG_RUNTIME_DIR/backdrop/<display>.sock, mode 0600 in a 0700
// folder, one daemon per display (a lock file beside the socket, held while the daemon lives,
// says which). Plain text: a client sends one request line and reads answer lines up to a last
// line that is "ok" or "error: why". A peer of another user is refused (SO_PEERCRED).

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host::desktop {

// [any-thread] The folder for sockets: $XDG_RUNTIME_DIR/backdrop, or /tmp/backdrop-UID when
// XDG_RUNTIME_DIR is not set; made with mode 0700 and refused when another user owns it or
// others may write to it. "" with a message on failure.
std::string runtimeDir(std::string* error);
// [any-thread] The socket of a display: ":0.0" and ":0" share one (the screen number is
// dropped), any '/' becomes '_'.
std::string socketPath(const std::string& runtimeDir, const std::string& display);

class ControlServer {
  public:
    struct Request {
        uint64_t client = 0;
        std::string line;
    };

    // [main-thread]
    ControlServer() = default;
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // [main-thread] Takes the display's lock and listens. When another daemon holds the lock,
    // false with *running set to its pid (0 when unknown); on other failures, false with a
    // message.
    bool open(const std::string& path, pid_t* running, std::string* error);
    const std::string& path() const { return _path; }

    // [main-thread] Every descriptor to poll for POLLIN.
    std::vector<int> fds() const;
    // [main-thread] Milliseconds until a slow client must be dropped (-1: none).
    int timeoutMs() const;
    // [main-thread] Accepts, reads what arrived without blocking and returns the complete
    // request lines. Refused peers, overlong or malformed lines and slow clients get an error
    // line and are closed here.
    std::vector<Request> handle();
    // [main-thread] Answers a request: its lines, then "ok" (or "error: <error>" when error is
    // not empty), then closes the connection.
    void reply(uint64_t client, const std::vector<std::string>& lines,
               const std::string& error = "");

  private:
    struct Client {
        uint64_t id;
        int fd;
        std::string in;
        double deadline;
        bool answered = false;
    };
    void drop(size_t index);
    void send(Client& c, const std::string& text);

    std::string _path;
    int _listen = -1;
    int _lock = -1;
    uint64_t _nextId = 1;
    std::vector<Client> _clients;
};

// [any-thread] Sends one request line and collects the answer: true with the lines when the
// last line was "ok"; false with the error's text (without "error: ") or why nothing answered.
// *noDaemon tells a missing or dead daemon apart from an error the daemon gave.
bool controlRequest(const std::string& path, const std::string& line,
                    std::vector<std::string>* lines, std::string* error, bool* noDaemon,
                    double timeoutSeconds = 10);

}  // namespace host::desktop

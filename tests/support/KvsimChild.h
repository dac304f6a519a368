// The built kvsim, started as a child of a test with its
// standard input and output on pipes.
#ifndef KV_TESTS_KVSIMCHILD_H
#define KV_TESTS_KVSIMCHILD_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

std::string KvsimExe();

// Starts kvsim with `args`. On success returns the child's id and the
// test's ends of the pipes: `input` to write to, `output` to read from.
// Returns -1 (and no open ends) when the pipes or the child cannot be made.
pid_t StartKvsim(const std::vector<std::string>& args, int* input, int* output);

// Milliseconds left until `end`, zero or less when it has passed.
int MsLeft(std::chrono::steady_clock::time_point end);

// Waits up to `timeoutMs` for output on `fd` and appends what one read
// brings; false on time-out, end of output or error.
bool ReadSome(int fd, int timeoutMs, std::string* output);

// A kvsim child with its standard input and output on pipes; killed, if
// still running, when the object goes.
class Kvsim {
  public:
    explicit Kvsim(const std::vector<std::string>& args);
    ~Kvsim();
    Kvsim(const Kvsim&) = delete;
    Kvsim& operator=(const Kvsim&) = delete;

    void send(const std::string& text);
    void closeInput();
    // Sends `signo` to kvsim.
    void signal(int signo);
    // Reads until `marker` has appeared or the time is up.
    bool waitFor(const std::string& marker, int timeoutMs);
    // Reads everything up to the end and waits for the exit status.
    int finish(int timeoutMs);
    std::string output;

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

// Writes one command to the control FIFO of the kvsim serving `dir` and
// waits until kvsim has logged its reply; false on time-out.
bool KvsimControl(const std::string& dir, const std::string& command, int timeoutMs = 5000);

#endif

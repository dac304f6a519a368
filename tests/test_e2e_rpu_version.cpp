// Key 1 of the printer menu, end to end: the built kvfwdn reads the firmware
// version and CRC of a virtual printer on a pseudo-terminal, trying the four
// baud rates in turn.
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "sim/VirtualLine.h"
#include "sim/VirtualPrinter.h"
#include "support/LinkTest.h"
#include "support/RunTool.h"
#include "test_e2e_rpu_dialogue.h"

using namespace rpu_dialogue;

namespace {

std::string VersionInput(const std::string& port) {
    return "1\n1\n" + port + "\nq\nq\n";
}

// A printer that takes every version request but gives a good reply only at
// one line speed: at every other speed it acknowledges the request and then
// replies with a failure status, so that the host's attempt fails with its
// port still open. Written here from the link protocol, independently of the
// tool and of the other virtual devices.
class OneRatePrinter {
  public:
    OneRatePrinter(VirtualLine& line, int goodBaud) : line_(line), goodBaud_(goodBaud) {
        thread_ = std::thread([this] { run(); });
    }
    ~OneRatePrinter() {
        stop_ = true;
        thread_.join();
    }
    // Line speed seen with each request frame, in order.
    std::vector<int> requestBauds() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bauds_;
    }

  private:
    void send(std::vector<unsigned char> bytes) { line_.write(bytes); }

    void run() {
        std::vector<unsigned char> window;
        bool good = false;
        while (!stop_) {
            unsigned char b = 0;
            if (!line_.readByte(&b, 20))
                continue;
            window.push_back(b);
            if (window.size() > 6)
                window.erase(window.begin());
            const std::vector<unsigned char> request = {0x02, 0x01, 0x00, 0x56, 0x03, 0x54};
            if (window == request) {
                int baud = line_.baud();
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    bauds_.push_back(baud);
                }
                good = baud == goodBaud_;
                window.clear();
                send({0x06});
            } else if (b == 0x05) {
                std::vector<unsigned char> data = {static_cast<unsigned char>(good ? 'O' : 'E')};
                const char* version = good ? "R9600" : "xxxxx";
                data.insert(data.end(), version, version + 5);
                data.push_back(0xB3);
                data.push_back(0x0A);
                send(Frame(data));
            }
        }
    }

    VirtualLine& line_;
    int goodBaud_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<int> bauds_;
};

} // namespace

TEST(E2eRpuVersion, AnsweringPrinterShowsVersionAndCrc) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    PrinterConfig config;
    config.version = "RP094";
    config.crc[0] = 0x0A;
    config.crc[1] = 0xB3;
    VirtualPrinter printer(line, config);
    printer.start();

    ToolRun run = RunTool(VersionInput(line.slavePath()));
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                           line.slavePath() + ",115200 Open Success\n" +
                           " Current F/W Ver : RP094, CRC : 0x0AB3\n" + QuitBoth();
    EXPECT_EQ(run.output, expected);

    // One request, exactly as the link protocol frames it.
    std::vector<unsigned char> wire = printer.received();
    const std::vector<unsigned char> request = {0x02, 0x01, 0x00, 0x56, 0x03, 0x54};
    ASSERT_GE(wire.size(), request.size());
    EXPECT_EQ(std::vector<unsigned char>(wire.begin(), wire.begin() + 6), request);
    EXPECT_EQ(printer.requests(), 1);
}

// A byte above 0x7F in the CRC must print as two digits, never as a
// sign-extended FFFFFF.. text.
TEST(E2eRpuVersion, HighCrcBytesPrintAsTwoDigits) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    PrinterConfig config;
    config.version = "V9.99";
    config.crc[0] = 0xFE;
    config.crc[1] = 0x80;
    VirtualPrinter printer(line, config);
    printer.start();

    ToolRun run = RunTool(VersionInput(line.slavePath()));
    EXPECT_NE(run.output.find(" Current F/W Ver : V9.99, CRC : 0xFE80\n"), std::string::npos)
        << run.output;
}

// Attempts that fail after their request was acknowledged must not keep the
// line at the first rate: the printer that only answers well at 9600 is found
// on the third attempt, each attempt having opened the line at its own rate.
TEST(E2eRpuVersion, ScanReopensAtEachRateAfterAcknowledgedFailures) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    OneRatePrinter printer(line, 9600);

    ToolRun run = RunTool(VersionInput(line.slavePath()));
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                           line.slavePath() + ",9600 Open Success\n" +
                           " Current F/W Ver : R9600, CRC : 0xB30A\n" + QuitBoth();
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(printer.requestBauds(), (std::vector<int>{115200, 460800, 9600}));
}

TEST(E2eRpuVersion, ScanReachesTheFourthRate) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    OneRatePrinter printer(line, 57600);

    ToolRun run = RunTool(VersionInput(line.slavePath()));
    EXPECT_NE(run.output.find(",57600 Open Success\n Current F/W Ver : R9600"), std::string::npos)
        << run.output;
    EXPECT_EQ(printer.requestBauds(), (std::vector<int>{115200, 460800, 9600, 57600}));
}

// Failure status at every rate: "Open Fail" once, after all four attempts,
// then the online-mode help.
TEST(E2eRpuVersion, FailureStatusAtEveryRate) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    OneRatePrinter printer(line, 1200);

    ToolRun run = RunTool(VersionInput(line.slavePath()));
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                           line.slavePath() + " Open Fail\n" + OnlineModeHelp() + QuitBoth();
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(printer.requestBauds().size(), 4u);
}

// Every port that cannot be opened gets the same texts on standard output,
// and one line per action on standard error with the port and the reason.
// The file typed as a port is left untouched.
TEST(E2eRpuVersion, PortsThatCannotBeOpenedSayWhy) {
    char file[] = "/tmp/kv_not_a_port_XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::vector<std::pair<std::string, std::string>> ports = {
        {"/dev/kvfwdn-no-such-port", "No such file or directory"},
        {file, "not a serial port"},
        {"/dev/tty", "this is the console, not a serial port"},
        {"/dev/ptmx", "a pseudo-terminal master, not a serial port"},
    };
    std::string input = "1\n", expected = EnterRpuMenu(), errors, saved = "/dev/ttyS4";
    for (const auto& port : ports) {
        if (saved != "/dev/ttyS4")
            expected += NextRound();
        input += "1\n" + port.first + "\n";
        expected += PortPrompt(saved) + VersionHeading() + "\n " + port.first + " Open Fail\n" +
                    CannotOpenPort();
        errors += "kvfwdn: " + port.first + ": " + port.second + "\n";
        saved = port.first;
    }
    ToolRun run = RunTool(input + "q\nq\n", 60000, "", true);
    struct stat st;
    EXPECT_EQ(stat(file, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    unlink(file);
    EXPECT_EQ(run.output, expected + QuitBoth());
    EXPECT_EQ(run.errors, errors);
}

// The port typed at key 1 is the saved name for the next action; ENTER keeps
// it. An empty prompt at the end of input prints the no-input line.
TEST(E2eRpuVersion, SavedPortIsOfferedAgain) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    VirtualPrinter printer(line);
    printer.start();

    ToolRun run = RunTool("1\n1\n" + line.slavePath() + "\n1\n\n");
    std::string found = "\n " + line.slavePath() + ",115200 Open Success\n" +
                        " Current F/W Ver : V1.23, CRC : 0x0AB3\n";
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + found +
                           NextRound() + PortPrompt(line.slavePath()) + VersionHeading() + found +
                           QuitBoth();
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(printer.requests(), 2);
}

// Slow (about 4 s): a printer that ignores everything but 9600 baud lets the
// first two attempts run into the 2 s acknowledgement time-out.
TEST(E2eRpuVersionSlow, PrinterAnsweringOnlyAt9600) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    PrinterConfig config;
    config.line.baudOnly = 9600;
    VirtualPrinter printer(line, config);
    printer.start();

    ToolRun run = RunTool(VersionInput(line.slavePath()));
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                           line.slavePath() + ",9600 Open Success\n" +
                           " Current F/W Ver : V1.23, CRC : 0x0AB3\n" + QuitBoth();
    EXPECT_EQ(run.output, expected);
}

// Slow (about 8 s): a silent printer, four unanswered attempts.
TEST(E2eRpuVersionSlow, SilentPrinterGetsTheOnlineModeHelp) {
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    PrinterConfig config;
    config.line.silent = true;
    VirtualPrinter printer(line, config);
    printer.start();

    ToolRun run = RunTool(VersionInput(line.slavePath()));
    std::string expected = EnterRpuMenu() + PortPrompt("/dev/ttyS4") + VersionHeading() + "\n " +
                           line.slavePath() + " Open Fail\n" + OnlineModeHelp() + QuitBoth();
    EXPECT_EQ(run.output, expected);
}

// A key other than 1, 2 and q leaves the printer menu as an abnormal
// selection, back to the main menu (which goes on); a port prompt that gets
// nothing prints the no-input line and takes no action.
TEST(E2eRpuMenu, AbnormalKeyAndNoInput) {
    ToolRun run = RunTool("1\nx\n1\n1\n");
    std::string expected = EnterRpuMenu() + "\n ABNORMAL SELECTED \n" + MainFrame() +
                           "\n -- START RPU F/W DOWNLOAD -- \n" + RpuFrame() + "\n" +
                           PortPrompt("/dev/ttyS4") +
                           " No input. Please try again and input value.\n" + QuitBoth();
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.exitCode, 0);
}

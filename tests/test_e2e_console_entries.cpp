// Entries at the prompts that must not drive the tool anywhere else: a
// refused over-long port name or firmware path, a blank scripted line at
// the cassette prompt, and answers files written with CR LF line ends.
// kvfwdn runs with scripted input; its whole output is compared.
#include <gtest/gtest.h>

#include "sim/VirtualLine.h"
#include "support/RunTool.h"
#include "test_cdu_util.h"
#include "test_e2e_cdu_dialogue.h"
#include "test_e2e_rpu_dialogue.h"

namespace {

const std::string kPortRefused =
    " The port name is too long (99 characters at most). The saved port name is kept.\n";
const std::string kPathRefused = " The F/W file path is too long (254 characters at most). The "
                                 "saved F/W file path is kept.\n";

// A firmware file whose path has exactly 254 characters; the same path with
// one more character is what the technician types, and a cut entry would
// name this file.
std::string FileAt254(const ScratchDir& dir, const std::vector<unsigned char>& image) {
    std::string name(254 - dir.path().size() - 1, 'f');
    return dir.write(name, image);
}

// Whatever reached the far end of the line, waiting a moment for stragglers.
size_t BytesOnLine(VirtualLine& line) {
    return line.readIdle(4096, 300).size();
}

} // namespace

TEST(E2eConsoleEntries, RefusedEntriesEndTheActionAndNothingReachesTheSavedPort) {
    const std::string longPort = "/dev/" + std::string(95, 'p');
    ScratchDir dir;
    {
        using namespace cdu_dialogue;
        VirtualLine line;
        std::string path = FileAt254(dir, Firmware(2000, "CDU_0W1500_", 0));
        // Key 2 saves the port; its blank cassette line is an invalid entry
        // (the next line is a key, not the number). Then the version query
        // and the download with a refused port name, the download with a
        // refused path, and a blank line that would have answered its question.
        ToolRun run = RunTool("2\n2\n" + line.slavePath() + "\n\n1\n" + longPort + "\n3\n" +
                              longPort + "\n3\n\n" + path + "X\n\nq\nq\n");
        EXPECT_EQ(EnterCduMenu() + PortPrompt("/dev/ttyS3") + CassettePrompt() + InvalidCassette() +
                      CduFrame() + PortPrompt(line.slavePath()) + kPortRefused + CduFrame() +
                      PortPrompt(line.slavePath()) + kPortRefused + CduFrame() +
                      PortPrompt(line.slavePath()) + "\n" + PathPrompt("") + kPathRefused +
                      QuitBoth(),
                  run.output);
        EXPECT_EQ(0u, BytesOnLine(line));
    }
    {
        using namespace rpu_dialogue;
        VirtualLine line;
        std::string path = FileAt254(dir, Firmware(300));
        // Key 2 saves the port and the path, cancelled; then as above.
        ToolRun run = RunTool("1\n2\n" + line.slavePath() + "\nfw.bin\nn\n1\n" + longPort +
                              "\n2\n" + longPort + "\n2\n\n" + path + "X\n\nq\nq\n");
        EXPECT_EQ(EnterRpuMenu() + PortPrompt("/dev/ttyS4") + DownloadQuestion("") +
                      " Cancel firmware download.\n" + NextRound() + PortPrompt(line.slavePath()) +
                      kPortRefused + NextRound() + PortPrompt(line.slavePath()) + kPortRefused +
                      NextRound() + PortPrompt(line.slavePath()) + "\n" + PathPrompt("fw.bin") +
                      kPathRefused + QuitBoth(),
                  run.output);
        EXPECT_EQ(0u, BytesOnLine(line));
    }
}

TEST(E2eConsoleEntries, EmptyAnswerWithCrLfLineEndsStartsTheDownload) {
    ScratchDir dir;
    const std::string bad = "/dev/kvfwdn-no-such-port";
    std::string cduFile = dir.write("cdu.bin", Firmware(2000, "CDU_0W1500_", 0));
    ToolRun cdu = RunTool("2\r\n3\r\n" + bad + "\r\n" + cduFile + "\r\n\r\nq\r\nq\r\n");
    EXPECT_NE(std::string::npos,
              cdu.output.find(cdu_dialogue::Started() + cdu_dialogue::ResultMessage(-6)))
        << cdu.output;
    std::string rpuFile = dir.write("rpu.bin", PrinterFirmware(300));
    ToolRun rpu = RunTool("1\r\n2\r\n" + bad + "\r\n" + rpuFile + "\r\n\r\nq\r\nq\r\n");
    EXPECT_NE(std::string::npos, rpu.output.find(dialogue::ResultMessage(-6))) << rpu.output;
    EXPECT_EQ(std::string::npos, rpu.output.find("Cancel"));
}

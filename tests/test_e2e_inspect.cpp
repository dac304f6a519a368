// probe, verify, --skip-identical, --packet-size and --wait of the command
// line against a strict virtual ROM bootloader (reset between the runs, so
// that each start is a fresh one).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sim/VirtualBootloader.h"
#include "sim/VirtualLine.h"
#include "support/RunTool.h"
#include "support/ScratchDir.h"
#include "test_cdu_util.h"

using nlohmann::json;

namespace {

struct Unit {
    explicit Unit(const BootloaderConfig& config) : boot(line, config) { boot.start(); }
    std::string port() const { return line.slavePath(); }
    VirtualLine line;
    VirtualBootloader boot;
};

BootloaderConfig Printer() {
    BootloaderConfig cfg;
    cfg.flashSize = 16 * 1024;
    cfg.version = 0x31;
    cfg.productId = {0x04, 0x13};
    return cfg;
}

json Json(const std::vector<std::string>& args, ToolRun* run) {
    std::vector<std::string> all = args;
    all.push_back("--json");
    *run = RunToolArgs(all);
    json result = json::parse(run->output, nullptr, false);
    EXPECT_TRUE(result.is_object()) << run->output << run->errors;
    return result.is_object() ? result : json::object();
}

} // namespace

TEST(E2eInspect, ProbeTextJsonProtectedAndSilent) {
    Unit unit(Printer());
    ToolRun run = RunToolArgs({"rpu", "probe", "-p", unit.port()});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, unit.port() + ": ROM bootloader 3.1 (0x79 dialect), product ID 0x0413\n"
                                        "commands: 00 01 02 11 21 31 43 63 73 82 92\n"
                                        "flash: readable (read-out protection off)\n");
    unit.boot.reset();
    json r = Json({"rpu", "probe", "-p", unit.port()}, &run);
    EXPECT_EQ(r["action"], "probe");
    EXPECT_EQ(r["bootloader"], "3.1");
    EXPECT_EQ(r["dialect"], "0x79");
    EXPECT_EQ(r["product_id"], "0413");
    EXPECT_EQ(r["commands"].size(), 11u);
    EXPECT_EQ(r["commands"][3], "11");
    EXPECT_EQ(r["read_protected"], false);
    EXPECT_EQ(r["exit"], 0);
    EXPECT_EQ(unit.boot.exchangeCount(0x31) + unit.boot.exchangeCount(0x43), 0);

    // Read-protected (Get lacks Read), in the dispenser's 0x75 dialect.
    BootloaderConfig locked = Printer();
    locked.dialect = 0x75;
    locked.readProtected = true;
    Unit cdu(locked);
    r = Json({"cdu", "probe", "-p", cdu.port()}, &run);
    EXPECT_EQ(r["exit"], 0) << run.errors;
    EXPECT_EQ(r["dialect"], "0x75");
    EXPECT_EQ(r["commands"], nullptr);
    EXPECT_EQ(r["read_protected"], true);
    EXPECT_TRUE(cdu.boot.readProtected()) << "a probe lifts nothing";

    // Silent: two 3 s windows, exit 3, the no-response message's first line.
    BootloaderConfig silent;
    silent.silent = true;
    Unit none(silent);
    r = Json({"rpu", "probe", "-p", none.port()}, &run);
    EXPECT_EQ(r["exit"], 3);
    EXPECT_EQ(r["error"], "No response from the target.");
    EXPECT_EQ(r["bootloader"], nullptr);
}

TEST(E2eInspect, VerifyEqualDifferentProtectedAndLoaderRoad) {
    ScratchDir dir;
    std::vector<unsigned char> image = PrinterFirmware(3000);
    std::string file = dir.write("fw.bin", image);
    Unit unit(Printer());
    ASSERT_TRUE(unit.boot.setMemory(0x08000000, image));
    ToolRun run = RunToolArgs({"rpu", "verify", "-p", unit.port(), file});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, unit.port() + ": the flash holds " + file + " (3000 bytes)\n");

    std::vector<unsigned char> other = image;
    other[0x400] ^= 0x01;
    std::string otherFile = dir.write("other.bin", other);
    unit.boot.reset();
    json r = Json({"rpu", "verify", "-p", unit.port(), otherFile, "--packet-size", "256"}, &run);
    EXPECT_EQ(r["exit"], 5);
    EXPECT_EQ(r["first_difference"], "08000400");
    EXPECT_EQ(r["message"], unit.port() + ": differs from the file at 0x08000400");
    EXPECT_EQ(unit.boot.exchangeCount(0x31) + unit.boot.exchangeCount(0x43), 0);

    // Get lists Read and the Read is refused.
    BootloaderConfig refusing = Printer();
    BootloaderFault refuse;
    refuse.cmd = 0x11;
    refuse.occurrence = -1;
    refusing.faults = {refuse};
    Unit locked(refusing);
    run = RunToolArgs({"rpu", "verify", "-p", locked.port(), file});
    EXPECT_EQ(run.exitCode, 11);
    EXPECT_NE(run.errors.find("kvfwdn: " + locked.port() +
                              ": the flash is read-protected; reading it back would need the "
                              "protection lifted, which erases it\n"),
              std::string::npos)
        << run.errors;

    // A loader-road dispenser file: refused before any byte reaches the port.
    std::string cirn = dir.write("cirn.bin", Firmware(3000, "CIRN7_cdu7_17A100_2020", 16));
    unit.boot.clearLog();
    run = RunToolArgs({"cdu", "verify", "-p", unit.port(), cirn});
    EXPECT_EQ(run.exitCode, 8);
    EXPECT_NE(run.errors.find("kvfwdn: " + cirn +
                              ": a loader-road file cannot be read back; verify works on the "
                              "bootloader road\n"),
              std::string::npos)
        << run.errors;
    EXPECT_TRUE(unit.boot.received().empty());
    EXPECT_EQ(RunToolArgs({"rpu", "verify", "--force", "-p", unit.port(), file}).exitCode, 64);
}

TEST(E2eInspect, SkipIdenticalUnprotectAndWait) {
    ScratchDir dir;
    std::vector<unsigned char> image = PrinterFirmware(2000);
    std::string file = dir.write("fw.bin", image);
    BootloaderConfig cfg = Printer();
    cfg.readProtected = true;
    Unit unit(cfg);
    // A protected unit: the note before the erase, `unprotected` "read".
    ToolRun run;
    json r = Json({"rpu", "download", "-p", unit.port(), file, "--skip-identical"}, &run);
    EXPECT_EQ(r["exit"], 0) << run.errors;
    EXPECT_EQ(r["skipped"], false);
    EXPECT_EQ(r["unprotected"], "read");
    EXPECT_NE(run.errors.find(": the flash is read-protected; lifting the protection erases it\n"),
              std::string::npos)
        << run.errors;
    EXPECT_EQ(r["error"], nullptr);
    // The same file again: nothing erased or written.
    unit.boot.reset();
    int erases = unit.boot.exchangeCount(0x43), writes = unit.boot.exchangeCount(0x31);
    run = RunToolArgs({"rpu", "download", "-p", unit.port(), file, "--skip-identical"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("The unit already holds this firmware. Nothing was written.\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(unit.boot.exchangeCount(0x43), erases);
    EXPECT_EQ(unit.boot.exchangeCount(0x31), writes);

    // --wait: a unit that answers the sync with noise for two seconds (each
    // start fails at once), then as a ROM bootloader.
    BootloaderConfig late = Printer();
    late.syncReply = 0xA5;
    Unit waiting(late);
    std::thread wake([&] {
        usleep(2000 * 1000);
        BootloaderConfig awake = Printer();
        waiting.boot.reconfigure(awake);
    });
    r = Json({"rpu", "probe", "-p", waiting.port(), "--wait", "20"}, &run);
    wake.join();
    EXPECT_EQ(r["exit"], 0) << run.errors;
    EXPECT_NE(run.errors.find(": waiting up to 20 s for the ROM bootloader (switch the unit to "
                              "boot mode and press reset)\n"),
              std::string::npos)
        << run.errors;
    for (const char* bad : {"0", "601", "x"})
        EXPECT_EQ(RunToolArgs({"rpu", "probe", "--wait", bad, "-p", waiting.port()}).exitCode, 64);
    EXPECT_EQ(RunToolArgs({"rpu", "download", "--packet-size", "64", file}).exitCode, 64);
}

// The bash completion function, called in a bash child as bash-completion
// calls it: the words typed so far in, the candidates out.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// The candidates for the command line `line` (the last word being completed),
// sorted, one space apart; its first word, kvfwdn or kvsim, names the
// completion, and kvfwdn stands for the built one. `setup` runs first in the
// child.
std::string Complete(const std::string& line, const std::string& setup = ":") {
    std::string program = line.substr(0, line.find(' '));
    std::string first = program == "kvfwdn" ? KVFWDN_EXE : program;
    std::string script =
        "export LC_ALL=C; [ -r /usr/share/bash-completion/bash_completion ] && "
        ". /usr/share/bash-completion/bash_completion; "
        ". '" KV_SOURCE_DIR "/contrib/bash-completion/" +
        program + "'; " + setup + "; COMP_LINE='" + first + line.substr(line.find(' ')) +
        "'; COMP_POINT=${#COMP_LINE}; " +
        "read -ra COMP_WORDS <<<\"$COMP_LINE\"; [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=(''); " +
        "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _" + program + " " + program +
        "; printf '%s\\n' \"${COMPREPLY[@]}\" | sort | paste -sd ' '";
    std::string command = "bash -c '";
    for (char c : script)
        command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "' 2>&1";
    FILE* child = popen(command.c_str(), "r");
    if (child == nullptr)
        return "popen failed";
    std::string out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, child) != nullptr)
        out += buffer;
    pclose(child);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

} // namespace

TEST(Completion, CommandsOptionsPortsAndFiles) {
    EXPECT_EQ(Complete("kvfwdn "),
              "--help --json --quiet --version -V -h -q cdu history info policy ports rpu");
    EXPECT_EQ(Complete("kvfwdn policy "), "check new");
    EXPECT_EQ(Complete("kvfwdn policy new -"), "--help --json --serial");
    EXPECT_EQ(Complete("kvfwdn r"), "rpu");
    EXPECT_EQ(Complete("kvfwdn cdu "), "--help cassette download probe verify version");
    EXPECT_EQ(Complete("kvfwdn rpu download -"),
              "--force --help --json --packet-size --port --quiet --skip-identical --ticket "
              "--trace --wait -p -q");
    EXPECT_EQ(Complete("kvfwdn cdu download --"), "--help --json --packet-size --port --quiet "
                                                  "--skip-identical --ticket --trace --wait");
    EXPECT_EQ(Complete("kvfwdn rpu probe -"), "--help --json --port --ticket --trace --wait -p");
    EXPECT_EQ(Complete("kvfwdn rpu verify --packet-size "), "128 256");
    EXPECT_EQ(Complete("kvfwdn history -"),
              "--csv --device --help --json --since --until --verify -n");
    EXPECT_EQ(Complete("kvfwdn history --device "), "cdu rpu");
    EXPECT_EQ(Complete("kvfwdn cdu cassette -p /dev/ttyS3 "), "1 2 3 4 5 6");

    EXPECT_EQ(Complete("kvfwdn --json r"), "rpu");

    // -p takes the paths of the ports that `kvfwdn ports` lists, here from a
    // made-up sysfs with a UART that is the system console, a UART and a
    // placeholder; the rest of each listed line is left out.
    std::string sysfs = "d=$(mktemp -d); mkdir -p $d/class/tty/ttyS0 $d/class/tty/ttyS1 "
                        "$d/class/tty/ttyS2 $d/class/tty/console; "
                        "echo 4 >$d/class/tty/ttyS0/type; echo 0 >$d/class/tty/ttyS1/type; "
                        "echo 4 >$d/class/tty/ttyS2/type; echo ttyS0 >$d/class/tty/console/active; "
                        "export KVFWDN_SYSFS=$d";
    EXPECT_EQ(Complete("kvfwdn rpu version -p ", sysfs), "/dev/ttyS0 /dev/ttyS2");
    EXPECT_EQ(Complete("kvfwdn cdu version --port /dev/ttyS0", sysfs), "/dev/ttyS0");
    EXPECT_EQ(Complete("kvfwdn cdu version --port=/dev/ttyS2", sysfs), "--port=/dev/ttyS2");
    EXPECT_EQ(Complete("kvfwdn rpu version --port=/dev/ttyS2 --j", sysfs), "--json");

    // Files for download and info, and not for version.
    std::string files = "cd \"$(mktemp -d)\"; touch fw-1.bin fw-2.hex";
    EXPECT_EQ(Complete("kvfwdn info fw", files), "fw-1.bin fw-2.hex");
    EXPECT_EQ(Complete("kvfwdn rpu download -q fw-1", files), "fw-1.bin");
    EXPECT_EQ(Complete("kvfwdn policy new --serial 3 fw-1", files), "fw-1.bin");
    EXPECT_EQ(Complete("kvfwdn cdu verify --wait 5 fw-1", files), "fw-1.bin");
    EXPECT_EQ(Complete("kvfwdn rpu version fw", files), "");
}

TEST(Completion, KvsimOptionsAndValues) {
    EXPECT_EQ(Complete("kvsim --se"), "--serve");
    EXPECT_EQ(Complete("kvsim --rpu-baud "), "115200 460800 57600 9600 any");
    EXPECT_EQ(Complete("kvsim --serve --cdu-road "), "bootloader loader");
    EXPECT_EQ(Complete("kvsim --rpu-fault re"), "readback");
    EXPECT_EQ(Complete("kvsim --run ls --rpu-m"), ""); // the command's words, not kvsim's
}

// Classification of dispenser firmware files by the version code they carry:
// where the code is found, which model it names and which road it takes,
// and the paths that are no firmware file at all.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cdu/CduFwDn.h"
#include "test_cdu_util.h"

namespace {

struct Classified {
    int result;
    std::string model;
    int type;
};

Classified Classify(const std::string& path) {
    CKvCDUFwDn dn;
    char model[20];
    memset(model, '#', sizeof model);
    model[sizeof model - 1] = '\0';
    unsigned char type = 0xEE;
    std::string p = path;
    int r = dn.GetCDUTypeByFW(&p[0], model, &type);
    return {r, model, type};
}

Classified ClassifyBytes(const std::vector<unsigned char>& bytes) {
    ScratchDir dir;
    return Classify(dir.write("fw.bin", bytes));
}

Classified ClassifyText(const std::string& text, size_t size = 64, size_t at = 20) {
    return ClassifyBytes(Firmware(size, text, at));
}

} // namespace

TEST(CduClassify, ExamplesOfBothForms) {
    // Fourth character 'A': bootloader road; '1': loader road.
    struct Case {
        const char* text;
        const char* model;
        int type;
    } cases[] = {
        {"CDU_0G2A09_", "IMBRA", 0},
        {"CDU2_0G2A09_", "IMBRA", 0},
        {"cdu7_17A100_", "CIRN", 1},
    };
    for (const Case& c : cases) {
        Classified got = ClassifyText(c.text);
        EXPECT_EQ(0, got.result) << c.text;
        EXPECT_EQ(c.model, got.model) << c.text;
        EXPECT_EQ(c.type, got.type) << c.text;
    }

    // The fourth character counts only in upper case.
    Classified d = ClassifyText("CDU_0G2a09_");
    EXPECT_EQ(0, d.result);
    EXPECT_EQ(1, d.type);
    EXPECT_EQ(0, ClassifyText("CDU_0G2F09_").type);
    EXPECT_EQ(1, ClassifyText("CDU_0G2G09_").type);
    // Bytes from 0x80 up compare as negative characters: loader road.
    EXPECT_EQ(1, ClassifyText("CDU_0G2\xC1"
                              "09_")
                     .type);
    // Mixed case is no marker.
    EXPECT_EQ(-2, ClassifyText("Cdu_0G2A09_").result);
}

TEST(CduClassify, FourLetterMarkerWithoutUnderscoreIsPassedOver) {
    // "CDU_" whose tenth byte on is not '_' is skipped, and the three-letter
    // form is not tried at that position ...
    EXPECT_EQ(-2, ClassifyText("CDU__0G2A09_").result);
    // ... but the search goes on at the next position.
    Classified later = ClassifyText("CDU_xxxxxxxxCDU_0W1B00_");
    EXPECT_EQ(0, later.result);
    EXPECT_EQ("MIRO", later.model);
    EXPECT_EQ(0, later.type);
    // The three-letter form needs '_' at offsets 4 and 11.
    EXPECT_EQ(-2, ClassifyText("CDU2x0G2A09_").result);
    EXPECT_EQ(-2, ClassifyText("CDU2_0G2A09x").result);
}

TEST(CduClassify, EveryModelOfTheTable) {
    const struct {
        char second;
        const char* model;
    } rows[] = {
        {'6', "ARVO/BELK"}, {'8', "ARVO/BELK"},  {'7', "CIRN"},    {'9', "CIRN"},
        {'A', "DOXA"},      {'C', "DOXA"},       {'c', "DOXA"},    {'B', "EVRA"},
        {'b', "EVRA"},      {'D', "FINOR"},      {'F', "GAVO"},    {'G', "IMBRA"},
        {'g', "IMBRA"},     {'H', "JOLTA"},      {'h', "JOLTA"},   {'J', "KESTRAN"},
        {'P', "LUNDA"},     {'W', "MIRO"},       {'w', "MIRO"},    {'d', "UNKNOWN"},
        {'f', "UNKNOWN"},   {'j', "UNKNOWN"},    {'p', "UNKNOWN"}, {'0', "UNKNOWN"},
        {'Z', "UNKNOWN"},   {'\x9A', "UNKNOWN"},
    };
    for (const auto& row : rows) {
        std::string code = std::string("CDU_0") + row.second + "2B00_";
        Classified c = ClassifyText(code);
        EXPECT_EQ(0, c.result) << "second character " << row.second;
        EXPECT_EQ(row.model, c.model) << "second character " << row.second;
        EXPECT_EQ(0, c.type);
    }
}

TEST(CduClassify, CodeAtTheVeryEndAndShortFiles) {
    // The last '_' of the three-letter form may be the last byte of the file.
    std::string tail = "CDU2_0G2A09_";
    Classified end = ClassifyBytes(Firmware(40, tail, 40 - tail.size()));
    EXPECT_EQ(0, end.result);
    EXPECT_EQ("IMBRA", end.model);
    // A four-letter marker whose '_' is the last byte is found too.
    std::string four = "CDU_0G2A09_";
    EXPECT_EQ(0, ClassifyBytes(Firmware(30, four, 30 - four.size())).result);
    // The three-letter form one byte short: its closing '_' would be the
    // terminating zero past the end.
    std::string cut = "CDU2_0G2A09";
    EXPECT_EQ(-2, ClassifyBytes(Firmware(30, cut, 30 - cut.size())).result);
    // Shorter than 11 bytes: never a code.
    EXPECT_EQ(-2, ClassifyBytes(
                      std::vector<unsigned char>{'C', 'D', 'U', '_', '0', 'G', '2', 'A', '0', '9'})
                      .result);
    EXPECT_EQ(-2, ClassifyBytes({}).result);
    EXPECT_EQ(-2, ClassifyText("no code here", 200).result);
}

TEST(CduClassify, PathsThatAreNoFirmwareFile) {
    ScratchDir dir;
    EXPECT_EQ(-1, Classify(dir.file("missing.bin")).result);
    EXPECT_EQ(-1, Classify(dir.path()).result); // a directory
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(-1, Classify(fifo).result); // returns at once, no writer needed
    EXPECT_EQ(-1, Classify("/dev/null").result);
    // A file too large for an int is refused before anything is allocated
    // (a sparse file takes no disk space).
    std::string big = dir.file("big.bin");
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(INT_MAX) + 4096));
    close(fd);
    EXPECT_EQ(-1, Classify(big).result);

    // The type byte is reset even when the file is refused.
    CKvCDUFwDn dn;
    char model[20] = "kept";
    unsigned char type = 7;
    std::string missing = dir.file("missing.bin");
    EXPECT_EQ(-1, dn.GetCDUTypeByFW(&missing[0], model, &type));
    EXPECT_EQ(0, type);
    EXPECT_STREQ("kept", model);
}

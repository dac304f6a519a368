// The virtual bootloader's command handlers, written from the bootloader's
// exchange tables: sync, Get, Get-version, Get-ID, Read, Go, Write, Erase,
// Extended erase, Write-protect and the protect / unprotect commands.
#include <algorithm>

#include "sim/BootDevice.h"

namespace {

bool Listed(const std::vector<unsigned char>& list, unsigned char code) {
    return std::find(list.begin(), list.end(), code) != list.end();
}

} // namespace

void VirtualBootloader::Impl::sync() {
    curCmd = 0x7F;
    step = 0;
    {
        std::lock_guard<std::mutex> lock(mu);
        curOccurrence = exchanges[0x7F]++;
    }
    std::vector<unsigned char> answer;
    if (cfg.leadingZero)
        answer.push_back(0x00);
    answer.push_back(cfg.syncReply >= 0 ? static_cast<unsigned char>(cfg.syncReply) : ack);
    if (!reply(answer))
        return;
    if (cfg.syncReply >= 0 && cfg.syncReply != ack)
        return; // a garbled answer: the device is still not in step
    synced = true;
    std::lock_guard<std::mutex> lock(mu);
    syncs++;
}

bool VirtualBootloader::Impl::allowed(unsigned char code) const {
    // Get is always answered, even when the list it announces leaves it out.
    if (code != 0x00 && !Listed(cfg.commands, code))
        return false;
    std::lock_guard<std::mutex> lock(mu);
    if (readProt && code == 0x11)
        return false;
    if (writeProt && (code == 0x31 || code == 0x43 || code == 0x44))
        return false;
    return true;
}

void VirtualBootloader::Impl::command(unsigned char code) {
    curCmd = code;
    step = 0;
    {
        std::lock_guard<std::mutex> lock(mu);
        curOccurrence = exchanges[code]++;
    }
    if (cfg.dialect == 0x79) {
        unsigned char complement = 0;
        if (!complementOf(&complement))
            return;
        if ((code ^ complement) != 0xFF) {
            replyNack();
            return;
        }
    }
    bool known = code == 0x00 || code == 0x01 || code == 0x02 || code == 0x11 || code == 0x21 ||
                 code == 0x31 || code == 0x43 || code == 0x44 || code == 0x63 || code == 0x71 ||
                 code == 0x73 || code == 0x82 || code == 0x91 || code == 0x92;
    // The 0x75 dialect has no extended erase.
    if (!known || !allowed(code) || (cfg.dialect != 0x79 && code == 0x44)) {
        replyNack();
        return;
    }
    switch (code) {
    case 0x00:
        doGet();
        break;
    case 0x01:
        doGetVersion();
        break;
    case 0x02:
        doGetId();
        break;
    case 0x11:
        doRead();
        break;
    case 0x21:
        doGo();
        break;
    case 0x31:
        doWrite();
        break;
    case 0x43:
        doErase();
        break;
    case 0x44:
        doEraseExt();
        break;
    case 0x63:
        doWriteProtect();
        break;
    default:
        doProtection(code);
        break;
    }
}

void VirtualBootloader::Impl::doGet() {
    if (!replyAck())
        return;
    std::vector<unsigned char> codes;
    for (unsigned char c : cfg.commands) {
        // A protected part does not offer what its protection blocks.
        if (!allowed(c))
            continue;
        codes.push_back(c);
    }
    std::vector<unsigned char> answer;
    answer.push_back(cfg.getCountOverride >= 0 ? static_cast<unsigned char>(cfg.getCountOverride)
                                               : static_cast<unsigned char>(codes.size()));
    answer.push_back(cfg.version);
    answer.insert(answer.end(), codes.begin(), codes.end());
    if (reply(answer))
        replyAck();
}

void VirtualBootloader::Impl::doGetVersion() {
    if (cfg.dialect == 0x79) {
        if (!replyAck())
            return;
    } else {
        step = 1; // no reply to the command code in this dialect
    }
    if (reply({cfg.version, cfg.option1, cfg.option2}))
        replyAck();
}

void VirtualBootloader::Impl::doGetId() {
    if (!replyAck())
        return;
    std::vector<unsigned char> answer;
    answer.push_back(static_cast<unsigned char>(cfg.productId.size() - 1));
    answer.insert(answer.end(), cfg.productId.begin(), cfg.productId.end());
    if (reply(answer))
        replyAck();
}

bool VirtualBootloader::Impl::address(uint32_t* value, bool* checksumOk) {
    unsigned char a[5] = {};
    int count = cfg.dialect == 0x79 ? 5 : 4;
    for (int i = 0; i < count; ++i)
        if (!next(&a[i], true))
            return false;
    *value = (static_cast<uint32_t>(a[0]) << 24) | (static_cast<uint32_t>(a[1]) << 16) |
             (static_cast<uint32_t>(a[2]) << 8) | a[3];
    *checksumOk = cfg.dialect != 0x79 || (a[0] ^ a[1] ^ a[2] ^ a[3]) == a[4];
    return true;
}

bool VirtualBootloader::Impl::addressAcked(uint32_t* at) {
    if (!replyAck())
        return false;
    bool sumOk = false;
    if (!address(at, &sumOk))
        return false;
    bool where;
    {
        std::lock_guard<std::mutex> lock(mu);
        where = mem.valid(*at, 1);
    }
    if (!sumOk || !where) {
        replyNack();
        return false;
    }
    return replyAck();
}

bool VirtualBootloader::Impl::addressAndCount(Span* span) {
    if (!addressAcked(&span->at) || !next(&span->n, true))
        return false;
    span->length = span->n + 1u;
    return true;
}

bool VirtualBootloader::Impl::ackedCount(unsigned char* n) {
    return replyAck() && next(n, true);
}

bool VirtualBootloader::Impl::listChecksum(unsigned char sum, bool* good) {
    *good = true;
    if (cfg.dialect != 0x79)
        return true;
    unsigned char checksum = 0;
    if (!next(&checksum, true))
        return false;
    *good = checksum == sum;
    return true;
}

void VirtualBootloader::Impl::erasePages(const std::vector<uint32_t>& pages, bool good, bool all) {
    {
        std::lock_guard<std::mutex> lock(mu);
        for (uint32_t page : pages)
            if (!mem.pageValid(page) || static_cast<int>(page) == cfg.refusePage)
                good = false;
        if (good && faultAhead() == nullptr) {
            if (all)
                mem.eraseAll();
            else
                for (uint32_t page : pages)
                    mem.erasePage(page);
        }
    }
    sleepFor(good ? cfg.eraseDelayMs : 0);
    replyAckIf(good);
}

void VirtualBootloader::Impl::doRead() {
    Span span;
    if (!addressAndCount(&span))
        return;
    bool fits;
    {
        std::lock_guard<std::mutex> lock(mu);
        fits = mem.valid(span.at, span.length);
    }
    if (cfg.dialect == 0x79) {
        unsigned char complement = 0;
        if (!next(&complement, true))
            return;
        if ((span.n ^ complement) != 0xFF || !fits) {
            replyNack();
            return;
        }
        if (!replyAck())
            return;
    } else {
        if (!fits)
            return; // no reply point for the count here: the host times out
        step = 3;
    }
    std::vector<unsigned char> data(span.length);
    {
        std::lock_guard<std::mutex> lock(mu);
        mem.read(span.at, span.length, data.data());
    }
    if (readPackets++ == cfg.corruptReadPacket)
        data[static_cast<size_t>(cfg.corruptReadOffset) % span.length] ^= 0x5A;
    reply(data);
}

void VirtualBootloader::Impl::doGo() {
    uint32_t at = 0;
    // The jump leaves the bootloader; a later sync finds it afresh.
    if (addressAcked(&at))
        synced = false;
}

void VirtualBootloader::Impl::doWrite() {
    Span span;
    if (!addressAndCount(&span))
        return;
    std::vector<unsigned char> data(span.length);
    unsigned char sum = span.n;
    for (uint32_t i = 0; i < span.length; ++i) {
        if (!next(&data[i], true))
            return;
        sum ^= data[i];
    }
    bool good = true;
    if (!listChecksum(sum, &good))
        return;
    if (writePackets++ == cfg.refuseWritePacket)
        good = false;
    if (good && faultAhead() == nullptr) {
        std::lock_guard<std::mutex> lock(mu);
        good = mem.write(span.at, data.data(), span.length);
    }
    replyAckIf(good);
}

void VirtualBootloader::Impl::doErase() {
    unsigned char n = 0;
    if (!ackedCount(&n))
        return;
    if (n == 0xFF) {
        // Global erase; the 0x79 dialect follows the code with 0x00.
        if (cfg.dialect == 0x79) {
            unsigned char zero = 0;
            if (!next(&zero, true))
                return;
            if (zero != 0x00) {
                replyNack();
                return;
            }
        }
        sleepFor(cfg.eraseDelayMs);
        if (faultAhead() == nullptr) {
            std::lock_guard<std::mutex> lock(mu);
            mem.eraseAll();
        }
        replyAck();
        return;
    }
    std::vector<uint32_t> pages(n + 1u);
    unsigned char sum = n;
    for (uint32_t& page : pages) {
        unsigned char code = 0;
        if (!next(&code, true))
            return;
        page = code;
        sum ^= code;
    }
    bool good = true;
    if (!listChecksum(sum, &good))
        return;
    erasePages(pages, good, false);
}

void VirtualBootloader::Impl::doEraseExt() {
    if (!replyAck())
        return;
    unsigned char hi = 0, lo = 0;
    if (!next(&hi, true) || !next(&lo, true))
        return;
    unsigned char sum = static_cast<unsigned char>(hi ^ lo);
    uint32_t code = (static_cast<uint32_t>(hi) << 8) | lo;
    std::vector<uint32_t> pages;
    if (hi != 0xFF) {
        pages.resize(code + 1u);
        for (uint32_t& page : pages) {
            unsigned char ph = 0, pl = 0;
            if (!next(&ph, true) || !next(&pl, true))
                return;
            page = (static_cast<uint32_t>(ph) << 8) | pl;
            sum ^= static_cast<unsigned char>(ph ^ pl);
        }
    }
    unsigned char checksum = 0;
    if (!next(&checksum, true))
        return;
    // Special codes: 0xFFFF all, 0xFFFE and 0xFFFD one bank each (here the
    // single bank); others are not offered.
    bool good = checksum == sum && (hi != 0xFF || code >= 0xFFFD);
    erasePages(pages, good, hi == 0xFF);
}

void VirtualBootloader::Impl::doWriteProtect() {
    unsigned char n = 0;
    if (!ackedCount(&n))
        return;
    unsigned char sum = n;
    for (uint32_t i = 0; i < n + 1u; ++i) {
        unsigned char code = 0;
        if (!next(&code, true))
            return;
        sum ^= code;
    }
    // The checksum follows in both dialects.
    unsigned char checksum = 0;
    if (!next(&checksum, true))
        return;
    if (checksum != sum) {
        replyNack();
        return;
    }
    if (faultAhead() == nullptr) {
        std::lock_guard<std::mutex> lock(mu);
        writeProt = true;
    }
    if (replyAck())
        synced = false; // the part resets and waits for a fresh sync
}

void VirtualBootloader::Impl::doProtection(unsigned char code) {
    if (!replyAck())
        return;
    if (faultAhead() == nullptr) {
        std::lock_guard<std::mutex> lock(mu);
        switch (code) {
        case 0x71:
        case 0x73:
            writeProt = false;
            break;
        case 0x82:
            readProt = true;
            break;
        case 0x91:
        case 0x92:
            // Lifting read-out protection wipes the flash it protected.
            readProt = false;
            mem.eraseAll();
            break;
        default:
            break;
        }
    }
    if (replyAck())
        synced = false; // the part resets and waits for a fresh sync
}

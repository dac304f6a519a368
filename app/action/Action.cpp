// The five device actions, each once, with their record.
#include "app/action/Action.h"

#include <cstdio>
#include <cstring>

#include "app/console/ReasonLine.h"
#include "app/console/StepReason.h"
#include "app/policy/Policy.h"
#include "app/record/Prepared.h"
#include "app/text/FileKeys.h"
#include "app/text/TextLines.h"
#include "cdu/CduFwDn.h"
#include "fwdn/BootInspect.h"
#include "fwdn/BootNotes.h"
#include "fwdn/DnResult.h"
#include "rpu/RpuFwDn.h"
#include "serial/Clock.h"
#include "serial/Link.h"

using nlohmann::json;

namespace {

// The length of the dispenser's version information.
const size_t CDU_VERSION_LENGTH = 13;

// With --json, the line a signal leaves, stamped `time`.
void PrepareResultLine(const ActionRequest& request, const json& time) {
    if (!request.resultLine)
        return;
    auto line = request.resultLine;
    PrepareResultLines([line, time](int sig, const char* error) { return line(sig, error, time); });
}

ActionOutcome Start(const ActionRequest& request, ActionDevice device, const char* action,
                    ActionRecord* record) {
    // Ready before the record begins: a signal from here on leaves it.
    PrepareResultLine(request, UtcTimeNow());
    ActionOutcome outcome;
    outcome.device = device;
    outcome.deviceName = device == DEVICE_RPU ? "rpu" : "cdu";
    outcome.action = action;
    outcome.port = !request.port.empty() ? request.port : DefaultPort(device);
    *record = BeginRecord(request.via, outcome.deviceName, action, outcome.port);
    // In the record from the start (a signal's record too) and in the result.
    record->keys["ticket"] = outcome.extra["ticket"] = request.ticket;
    return outcome;
}

template <class Downloader> void UsePort(Downloader* dn, const ActionOutcome& outcome) {
    snprintf(dn->szPortName, sizeof dn->szPortName, "%s", outcome.port.c_str());
}

// Right before the device is touched: the clock starts and the lines a
// signal leaves are prepared.
void Arm(const ActionRequest& request, ActionRecord* record) {
    PrepareResultLine(request, record->keys["time"]);
    ArmRecord(record);
}

// The first reason of a failure, one rule for the JSON result, the reason
// line and the record: the action's first reason line, else the first line
// of the menus' text (never a hint: what the device does not say, the
// libraries' events have said as a reason line).
json ErrorOf(const ActionOutcome& outcome) {
    const OutcomeRow& row = RowOf(outcome);
    if (row.ok)
        return nullptr;
    if (row.error != nullptr)
        return row.error;
    if (const char* reason = FirstReasonLine())
        return reason;
    std::vector<std::string> lines =
        TrimmedLines(TextOf(outcome) != nullptr ? TextOf(outcome) : "");
    if (!lines.empty())
        return lines.front();
    return JoinedMessage(HintOf(outcome) != nullptr ? HintOf(outcome) : "");
}

// Where a download that ran stopped: `step` and `address`, null on success.
void SetStepKeys(ActionOutcome* outcome, int code) {
    const StepFailure* failed = code != DN_OK ? FailedStep() : nullptr;
    outcome->step = failed != nullptr ? json(StepName(failed->step)) : json();
    outcome->address =
        failed != nullptr && failed->hasAddress ? json(StepAddress(*failed)) : json();
}

// The file's keys of the record: as typed, its size and, once read, what
// it is; the road the download takes.
void SetFileKeys(const ActionOutcome& outcome, json* keys) {
    if (outcome.file.empty())
        return;
    ::SetFileKeys(keys, outcome.file); // file_hex too
    (*keys)["bytes"] = outcome.bytes;
    if (outcome.fileRead) {
        keys->update(RecordFactsKeys(outcome.facts));
        (*keys)["bytes"] = outcome.bytes;
    }
    (*keys)["road"] = outcome.road != nullptr ? json(outcome.road) : json();
}

// Ends the action as `result` with `code`: the outcome's status and error,
// and the record written.
void Finish(ActionOutcome* outcome, ActionRecord* record, ActionResult result, json code) {
    outcome->result = result;
    const OutcomeRow& row = RowOf(*outcome);
    outcome->code = row.code ? code : json();
    outcome->exit = row.exit;
    outcome->ok = row.ok;
    outcome->error = ErrorOf(*outcome);
    outcome->seconds = RecordSeconds(GetTickCount() - record->startMs);
    json& keys = record->keys;
    SetFileKeys(*outcome, &keys);
    if (!outcome->version.empty())
        keys["version"] = outcome->version;
    if (!outcome->cassette.is_null())
        keys["cassette"] = outcome->cassette;
    keys["result"] = outcome->code;
    keys["exit"] = row.exit == EXIT_NONE ? json() : json(row.exit);
    keys["ok"] = row.ok;
    keys["seconds"] = outcome->seconds;
    keys["error"] = outcome->error;
    keys.update(outcome->extra);
    FinishRecord(record);
    outcome->record = keys;
}

// The request's bootloader-road settings, for the download layer.
void UseBootSettings(const ActionRequest& request) {
    BootSettings settings;
    settings.packetSize = request.packetSize == 256 ? 256 : 128;
    settings.waitSeconds = request.wait;
    settings.skipIdentical = request.skipIdentical;
    SetBootSettings(settings);
}

// What a bootloader-road download lifted: "read", "write", "both" or null.
json Unprotected(const BootOutcome& boot) {
    if (boot.liftedRead && boot.liftedWrite)
        return "both";
    if (boot.liftedRead)
        return "read";
    if (boot.liftedWrite)
        return "write";
    return nullptr;
}

void TakeCduVersion(ActionOutcome* outcome, const char* version) {
    outcome->version = std::string(version, strnlen(version, CDU_VERSION_LENGTH));
    outcome->cassette = CassetteOf(outcome->version);
}

} // namespace

const char* DefaultPort(ActionDevice device) {
    return device == DEVICE_RPU ? kRpuDefaultPort : kCduDefaultPort;
}

json CassetteOf(const std::string& version) {
    if (version.size() > 4 && version[4] >= '0' && version[4] <= '9')
        return version[4] - '0';
    return nullptr;
}

namespace {

// One request to the device in online mode: the record begun and armed,
// then `ask` with the console on the request's target. `ask` fills in the
// device's answers and returns how the request ended, with its link code.
template <class Downloader, class Ask>
ActionOutcome Query(const ActionRequest& request, ActionDevice device, const char* action,
                    Ask ask) {
    ActionRecord record;
    ActionOutcome outcome = Start(request, device, action, &record);
    if (request.cassette != 0)
        record.keys["cassette"] = request.cassette;
    Downloader dn;
    UsePort(&dn, outcome);
    Arm(request, &record);
    int code = LINK_OK;
    ActionResult result;
    {
        ConsoleTargetScope console(request.console);
        result = ask(dn, &outcome, &code);
    }
    Finish(&outcome, &record, result, code);
    return outcome;
}

} // namespace

ActionOutcome RpuVersion(const ActionRequest& request) {
    return Query<CKvRPUFwDn>(request, DEVICE_RPU, "version",
                             [](CKvRPUFwDn& dn, ActionOutcome* outcome, int* code) {
                                 char version[50] = {0};
                                 char crc[10] = {0};
                                 *code = dn.GetVersionInfo(version, crc);
                                 if (*code == LINK_OK) {
                                     outcome->version = version;
                                     outcome->crc = crc;
                                     outcome->baud = dn.iBaudRate;
                                 }
                                 return QueryResult(*code);
                             });
}

ActionOutcome CduVersion(const ActionRequest& request) {
    return Query<CKvCDUFwDn>(request, DEVICE_CDU, "version",
                             [](CKvCDUFwDn& dn, ActionOutcome* outcome, int* code) {
                                 char version[50] = {0};
                                 *code = dn.GetVersionInfo(version);
                                 if (*code == LINK_OK)
                                     TakeCduVersion(outcome, version);
                                 return QueryResult(*code);
                             });
}

ActionOutcome CduCassette(const ActionRequest& request) {
    return Query<CKvCDUFwDn>(request, DEVICE_CDU, "cassette",
                             [&request](CKvCDUFwDn& dn, ActionOutcome* outcome, int* code) {
                                 char version[50] = {0};
                                 *code = dn.SetInformation(request.cassette);
                                 // A failed read-back after a good set counts as no answer,
                                 // whatever its cause.
                                 if (*code == LINK_OK && dn.GetVersionInfo(version) != LINK_OK)
                                     *code = LINK_BAD_REPLY;
                                 if (*code != LINK_OK)
                                     return QueryResult(*code);
                                 TakeCduVersion(outcome, version);
                                 // A dispenser that reports another number has not taken the
                                 // setting.
                                 if (outcome->cassette == json(request.cassette))
                                     return AR_ANSWERED;
                                 KeepReasonLine((outcome->port + ": the dispenser reports another "
                                                                 "cassette number than the one set")
                                                    .c_str());
                                 return AR_NOT_TAKEN;
                             });
}

namespace {

// The first step of both downloads: the record begun, the file read once.
void PrepareFile(const ActionRequest& request, ActionDevice device, DownloadPlan* plan) {
    plan->request = request;
    plan->outcome = Start(request, device, "download", &plan->record);
    ActionOutcome& outcome = plan->outcome;
    outcome.file = request.file;
    plan->loaded = plan->file.Load(request.file.c_str());
    outcome.fileRead = plan->loaded == DN_OK;
    if (outcome.fileRead) {
        outcome.facts = plan->file.facts();
        outcome.bytes = outcome.facts.bytes;
    } else {
        outcome.bytes = RegularFileSize(request.file);
    }
    outcome.extra.update({{"approved", nullptr}, {"policy_serial", nullptr}});
}

// A file refused before the question: its reason kept for the result.
bool Refuse(DownloadPlan* plan, ActionResult result, const std::string& reason,
            const std::string& subject = "") {
    ActionOutcome& outcome = plan->outcome;
    outcome.refusal = reason;
    outcome.refusalSubject = subject.empty() ? outcome.file : subject;
    if (!reason.empty())
        KeepReasonLine((outcome.refusalSubject + ": " + reason).c_str());
    Finish(&outcome, &plan->record, result, nullptr);
    return false;
}

// The approved list's step, after the file check: the bytes read may go to
// `device`, or the download is refused (any file while the list cannot be
// trusted).
bool Approve(DownloadPlan* plan, FirmwareDevice device) {
    ActionOutcome& outcome = plan->outcome;
    Approval approval = CheckApproval(LoadPolicy(), outcome.file, outcome.facts.sha256, device);
    outcome.extra.update({{"approved", approval.approved}, {"policy_serial", approval.serial}});
    if (approval.approved != false)
        return true;
    return Refuse(plan, AR_NOT_APPROVED, approval.why, approval.subject);
}

} // namespace

bool PrepareRpuDownload(const ActionRequest& request, DownloadPlan* plan) {
    PrepareFile(request, DEVICE_RPU, plan);
    ActionOutcome& outcome = plan->outcome;
    outcome.road = "bootloader";
    if (outcome.fileRead && outcome.facts.device != FW_FOR_RPU && !request.force) {
        return Refuse(plan, AR_NOT_FOR_DEVICE, outcome.facts.reason);
    }
    if (outcome.fileRead && !Approve(plan, FW_FOR_RPU))
        return false;
    // A file that could not be read goes on to the question: it ends as the
    // download of it would.
    return true;
}

bool PrepareCduDownload(const ActionRequest& request, DownloadPlan* plan) {
    PrepareFile(request, DEVICE_CDU, plan);
    ActionOutcome& outcome = plan->outcome;
    if (!outcome.fileRead)
        return Refuse(plan, plan->loaded == DN_FILE_NOT_FOUND ? AR_FILE_MISSING : AR_FILE_UNUSABLE,
                      "");
    if (outcome.facts.device != FW_FOR_CDU)
        return Refuse(plan, AR_NOT_FOR_DEVICE, NotDispenserReason(outcome.facts));
    outcome.road = outcome.facts.road;
    return Approve(plan, FW_FOR_CDU);
}

const ActionOutcome& RunDownload(DownloadPlan* plan) {
    ActionOutcome& outcome = plan->outcome;
    SetFileKeys(outcome, &plan->record.keys);
    plan->record.keys.update(outcome.extra); // an interrupted download's record has them too
    Arm(plan->request, &plan->record);
    int code = plan->loaded;
    ClearBootOutcome();
    if (outcome.fileRead) {
        ConsoleTargetScope console(plan->request.console);
        UseBootSettings(plan->request);
        std::string path = outcome.file;
        outcome.reachedDownloader = true;
        if (outcome.device == DEVICE_RPU) {
            CKvRPUFwDn dn;
            UsePort(&dn, outcome);
            code = dn.FirmwareDownloadImage(&path[0], plan->file.image(), plan->file.size());
        } else {
            CKvCDUFwDn dn;
            UsePort(&dn, outcome);
            code = dn.FirmwareDownloadImage(outcome.facts.type, &path[0], plan->file.image(),
                                            plan->file.size());
        }
        SetBootSettings(BootSettings());
    }
    SetStepKeys(&outcome, code);
    const BootOutcome& boot = LastBootOutcome();
    outcome.extra["skipped"] = code == DN_OK && boot.skipped;
    outcome.extra["unprotected"] = Unprotected(boot);
    Finish(&outcome, &plan->record, DownloadResult(code), code);
    return outcome;
}

const ActionOutcome& CancelDownload(DownloadPlan* plan) {
    Finish(&plan->outcome, &plan->record, AR_CANCELLED, nullptr);
    return plan->outcome;
}

void ResultPrinted() {
    DropPreparedResultLines();
}

// ---- Questions to the ROM bootloader ---------------------------------------

namespace {

std::string Hex2(unsigned char byte) {
    char text[3];
    snprintf(text, sizeof text, "%02X", byte);
    return text;
}

// An address as JSON and the record write it: 8 upper-case hex digits.
std::string Address8(unsigned long address) {
    char text[9];
    snprintf(text, sizeof text, "%08lX", address & 0xFFFFFFFFul);
    return text;
}

// The downloader object of `device`, for its port field and its
// bootloader client.
template <class Downloader>
int ProbeWith(const ActionOutcome& outcome, const ActionRequest& request, ProbeFacts* facts) {
    Downloader dn;
    UsePort(&dn, outcome);
    ConsoleTargetScope console(request.console);
    return ProbeBootloader(dn.stblLib, dn.szPortName, facts);
}

template <class Downloader>
VerifyOutcome VerifyWith(const ActionOutcome& outcome, const ActionRequest& request,
                         const FirmwareFile& file, unsigned long* first) {
    Downloader dn;
    UsePort(&dn, outcome);
    ConsoleTargetScope console(request.console);
    return VerifyFlash(dn.stblLib, dn.szPortName, file.image(), file.size(), first);
}

// A probe whose start failed: as the download's, with the first line of its
// text as the reason.
ActionResult StartFailed(int code) {
    ActionResult result = DownloadResult(code);
    std::vector<std::string> lines = TrimmedLines(OutcomeRowOf(result).text[DEVICE_RPU]);
    if (code == DN_NO_RESPONSE && !lines.empty())
        KeepReasonLine(lines.front().c_str());
    return result;
}

} // namespace

ActionOutcome RomProbe(ActionDevice device, const ActionRequest& request) {
    ActionRecord record;
    ActionOutcome outcome = Start(request, device, "probe", &record);
    outcome.extra.update(
        {{"bootloader", nullptr}, {"product_id", nullptr}, {"read_protected", nullptr}});
    Arm(request, &record);
    UseBootSettings(request);
    ProbeFacts facts;
    int code = device == DEVICE_RPU ? ProbeWith<CKvRPUFwDn>(outcome, request, &facts)
                                    : ProbeWith<CKvCDUFwDn>(outcome, request, &facts);
    SetBootSettings(BootSettings());
    if (code != DN_OK) {
        Finish(&outcome, &record, StartFailed(code), code);
        return outcome;
    }
    char version[8];
    snprintf(version, sizeof version, "%u.%u", facts.version >> 4, facts.version & 0x0Fu);
    std::string pid;
    for (unsigned char b : facts.productId)
        pid += Hex2(b);
    outcome.extra["bootloader"] = version;
    outcome.extra["product_id"] = pid.empty() ? json() : json(pid);
    if (facts.readProtected != TRI_UNKNOWN)
        outcome.extra["read_protected"] = facts.readProtected == TRI_YES;
    outcome.dialect = facts.dialect == 0x75 ? "0x75" : "0x79";
    if (facts.hasCommands) {
        outcome.commands = json::array();
        for (unsigned char c : facts.commands)
            outcome.commands.push_back(Hex2(c));
    }
    Finish(&outcome, &record, AR_PROBED, code);
    return outcome;
}

ActionOutcome RomVerify(ActionDevice device, const ActionRequest& request) {
    ActionRecord record;
    ActionOutcome outcome = Start(request, device, "verify", &record);
    outcome.extra.update({{"first_difference", nullptr}});
    outcome.file = request.file;
    FirmwareFile file;
    int loaded = file.Load(request.file.c_str());
    outcome.fileRead = loaded == DN_OK;
    outcome.bytes = outcome.fileRead ? json(file.facts().bytes) : RegularFileSize(request.file);
    if (!outcome.fileRead) {
        Finish(&outcome, &record, DownloadResult(loaded), nullptr);
        return outcome;
    }
    outcome.facts = file.facts();
    outcome.road = device == DEVICE_RPU ? "bootloader" : outcome.facts.road;
    FirmwareDevice wanted = device == DEVICE_RPU ? FW_FOR_RPU : FW_FOR_CDU;
    if (outcome.facts.device != wanted) {
        outcome.refusal =
            device == DEVICE_RPU ? outcome.facts.reason : NotDispenserReason(outcome.facts);
        KeepReasonLine((outcome.file + ": " + outcome.refusal).c_str());
        Finish(&outcome, &record, AR_NOT_FOR_DEVICE, nullptr);
        return outcome;
    }
    if (device == DEVICE_CDU && outcome.facts.type != 0) {
        outcome.refusal = "a loader-road file cannot be read back; verify works on the "
                          "bootloader road";
        KeepReasonLine((outcome.file + ": " + outcome.refusal).c_str());
        Finish(&outcome, &record, AR_LOADER_ROAD, nullptr);
        return outcome;
    }
    Arm(request, &record);
    UseBootSettings(request);
    unsigned long first = 0;
    VerifyOutcome read = device == DEVICE_RPU
                             ? VerifyWith<CKvRPUFwDn>(outcome, request, file, &first)
                             : VerifyWith<CKvCDUFwDn>(outcome, request, file, &first);
    SetBootSettings(BootSettings());
    ActionResult result = AR_FLASH_EQUAL;
    int code = DN_OK;
    switch (read) {
    case VERIFY_EQUAL:
        break;
    case VERIFY_DIFFERS:
        result = AR_FLASH_DIFFERS;
        code = DN_VERIFY_FAIL;
        outcome.firstDifference = first;
        outcome.extra["first_difference"] = Address8(first);
        KeepReasonLine((outcome.port + ": differs from the file at 0x" + Address8(first)).c_str());
        break;
    case VERIFY_PROTECTED:
        result = AR_READ_PROTECTED;
        code = DN_VERIFY_FAIL;
        outcome.refusal = "the flash is read-protected; reading it back would need the "
                          "protection lifted, which erases it";
        KeepReasonLine((outcome.port + ": " + outcome.refusal).c_str());
        break;
    case VERIFY_NO_ANSWER:
        code = DN_NO_RESPONSE;
        result = AR_NO_RESPONSE;
        break;
    case VERIFY_PORT_FAIL:
        code = DN_PORT_OPEN_FAIL;
        result = AR_PORT_OPEN_FAIL;
        break;
    }
    Finish(&outcome, &record, result, code);
    return outcome;
}

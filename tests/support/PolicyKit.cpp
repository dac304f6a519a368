#include "support/PolicyKit.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

void IsolatePolicy() {
    mkdir(KV_TEST_NO_POLICY_DIR, 0755);
    setenv("KVFWDN_POLICY_DIR", KV_TEST_NO_POLICY_DIR, 0);
}

namespace {

bool Minisign(const std::string& args) {
    return system(("minisign " + args + " </dev/null >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

PolicyKit::PolicyKit() {
    dir = scratch_.directory("policy");
    list = dir + "/approved.json";
    scratch_.directory("policy/keys");
    Minisign("-G -W -p " + dir + "/keys/site.pub -s " + scratch_.file("site.key"));
}

std::string PolicyKit::MakeKey(const std::string& name) {
    std::string key = scratch_.file(name + ".key");
    Minisign("-G -W -p " + scratch_.file(name + ".pub") + " -s " + key);
    return key;
}

std::string PolicyKit::SiteKeyId() const {
    std::string text = ReadWholeFile(dir + "/keys/site.pub");
    size_t at = text.find("public key ");
    return at == std::string::npos ? "" : text.substr(at + 11, text.find('\n') - at - 11);
}

bool PolicyKit::Install(long long serial,
                        const std::vector<std::pair<std::string, std::string>>& entries,
                        bool legacy, const std::string& key) {
    nlohmann::json firmware = nlohmann::json::array();
    for (const auto& entry : entries)
        firmware.push_back({{"sha256", entry.first}, {"device", entry.second}});
    return InstallText(nlohmann::json({{"serial", serial}, {"firmware", firmware}}).dump(2), legacy,
                       key);
}

bool PolicyKit::InstallText(const std::string& text, bool legacy, const std::string& key) {
    scratch_.write("policy/approved.json", text);
    return Minisign(std::string("-S ") + (legacy ? "-l " : "") + "-s " +
                    (key.empty() ? scratch_.file("site.key") : key) + " -m " + list);
}

#include "support/PolicyKit.h"

#include <cstdlib>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

void IsolatePolicy() {
    mkdir(KV_TEST_NO_POLICY_DIR, 0755);
    setenv("KVFWDN_POLICY_DIR", KV_TEST_NO_POLICY_DIR, 0);
}

bool RunMinisign(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"minisign"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp("minisign", argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

PolicyKit::PolicyKit() {
    dir_ = scratch_.directory("policy");
    scratch_.directory("policy/keys");
    secret_ = scratch_.directory("secret");
    MakeKey("site");
    rename((secret_ + "/site.pub").c_str(), (dir_ + "/keys/site.pub").c_str());
}

std::string PolicyKit::MakeKey(const std::string& name) {
    std::string key = secret_ + "/" + name + ".key";
    RunMinisign({"-G", "-W", "-p", secret_ + "/" + name + ".pub", "-s", key});
    return key;
}

std::string PolicyKit::KeyIdOf(const std::string& name) const {
    std::string text = ReadWholeFile(dir_ + "/keys/" + name + ".pub");
    if (text.empty())
        text = ReadWholeFile(secret_ + "/" + name + ".pub");
    size_t at = text.find("public key ");
    return at == std::string::npos ? "" : text.substr(at + 11, 16);
}

bool PolicyKit::Install(long long serial,
                        const std::vector<std::pair<std::string, std::string>>& entries,
                        bool legacy, const std::string& key) {
    nlohmann::json list = {{"serial", serial}, {"firmware", nlohmann::json::array()}};
    for (const auto& entry : entries)
        list["firmware"].push_back(
            {{"sha256", entry.first}, {"device", entry.second}, {"name", "test"}});
    return InstallText(list.dump(2) + "\n", legacy, key);
}

bool PolicyKit::InstallText(const std::string& text, bool legacy, const std::string& key) {
    scratch_.write("policy/approved.json", text);
    std::vector<std::string> args = {"-S", "-s", key.empty() ? siteKey() : key, "-m", list()};
    if (legacy)
        args.insert(args.begin() + 1, "-l");
    return RunMinisign(args);
}

bool RunningAsRoot() {
    return geteuid() == 0;
}

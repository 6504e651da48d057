// dkim-tool: signs a message or verifies its DKIM signatures.
//
//   dkim-tool sign --key FILE --domain D --selector S [--canon relaxed/relaxed]
//                  [--algorithm rsa-sha256|rsa-sha1|ed25519-sha256] [--headers From:To:Subject]
//                  [--length N] [--copy From:To] < message
//   dkim-tool verify [--dns-server H --dns-port P] [--records FILE] < message
//
// sign writes the signed message to standard output. verify prints one line per signature,
// "pass d=DOMAIN s=SELECTOR" or "fail d=DOMAIN s=SELECTOR: text (code)", and exits with 1 when one
// fails or none is present. --records names a file of "NAME TXT-RECORD" lines that answers key
// lookups instead of DNS. Usage errors exit with 2.

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "dkim/ixDkim.h"
#include "text/ixUtils.h"

namespace {

int Usage() {
    std::cerr << "usage: dkim-tool sign --key FILE --domain D --selector S [--canon C] [--algorithm A]\n"
                 "                      [--headers H1:H2] [--length N] [--copy H1:H2] < message\n"
                 "       dkim-tool verify [--dns-server H --dns-port P] [--records FILE] < message\n";
    return 2;
}

std::string ReadAll(std::istream& in) {
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Answers key lookups from a file instead of DNS.
class TixRecordFileDkim : public ix::TixDkim {
public:
    std::multimap<std::string, std::string> records;

protected:
    std::vector<std::string> QueryKeyRecords(const std::string& name) override {
        if (records.empty()) return TixDkim::QueryKeyRecords(name);
        std::vector<std::string> found;
        auto [first, last] = records.equal_range(ix::LowerCase(name));
        for (auto it = first; it != last; ++it)
            found.push_back(it->second);
        return found;
    }
};

void SetList(ix::TixStringList& list, const std::string& names) {
    list.Clear();
    ix::SplitText(names, list, ':');
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    std::map<std::string, std::string> options;
    for (int i = 2; i < argc; i += 2) {
        std::string name = argv[i];
        if (i + 1 >= argc || name.rfind("--", 0) != 0) return Usage();
        options[name] = argv[i + 1];
    }
    try {
        TixRecordFileDkim dkim;
        ix::TixStringList message;
        message.SetText(ReadAll(std::cin));
        if (command == "sign") {
            for (const char* required : {"--key", "--domain", "--selector"})
                if (options.count(required) == 0) return Usage();
            if (options.count("--algorithm")) dkim.SetSignatureAlgorithm(options["--algorithm"]);
            if (options.count("--canon")) dkim.SetCanonicalization(options["--canon"]);
            if (options.count("--headers")) SetList(dkim.SignedHeaderFields(), options["--headers"]);
            if (options.count("--copy")) SetList(dkim.CopiedHeaderFields(), options["--copy"]);
            if (options.count("--length")) dkim.SetBodyLength(std::stoll(options["--length"]));
            dkim.SetDomain(options["--domain"]);
            dkim.SetSelector(options["--selector"]);
            std::ifstream keyFile(options["--key"], std::ios::binary);
            if (!keyFile) throw std::runtime_error("cannot read the key file " + options["--key"]);
            dkim.LoadSigningKey(ReadAll(keyFile));
            dkim.Sign(message);
            std::cout << message.Text();
            return 0;
        }
        if (command != "verify") return Usage();
        if (options.count("--dns-server")) dkim.SetDnsServer(options["--dns-server"]);
        if (options.count("--dns-port")) dkim.SetDnsPort(std::stoi(options["--dns-port"]));
        if (options.count("--records")) {
            std::ifstream file(options["--records"]);
            if (!file) throw std::runtime_error("cannot read the records file " + options["--records"]);
            std::string line;
            while (std::getline(file, line)) {
                std::size_t space = line.find(' ');
                if (space != std::string::npos)
                    dkim.records.emplace(ix::LowerCase(line.substr(0, space)), line.substr(space + 1));
            }
        }
        dkim.SetVerifyMode(ix::TixDkimVerifyMode::dvmVerifyAll);
        dkim.Verify(message);
        bool failed = dkim.Signatures().empty();
        if (failed) std::cout << "none\n";
        for (const auto& signature : dkim.Signatures()) {
            const auto& status = signature->VerifyStatus;
            std::string who = "d=" + signature->Domain + " s=" + signature->Selector;
            if (status.State == ix::TixDkimVerifyState::vsVerified) {
                std::cout << "pass " << who << "\n";
            } else {
                failed = true;
                std::cout << "fail " << who << ": " << status.ErrorText << " (" << status.ErrorCode << ")\n";
            }
        }
        return failed ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << "dkim-tool: " << e.what() << "\n";
        return 1;
    }
}

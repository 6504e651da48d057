// imap-fetch: logs in to an IMAP server and lists one folder's messages.
//
//   imap-fetch --server H --port P --user U --password-file F --security none|starttls|tls
//              [--ca-file F] [--folder NAME]
//              [--proxy socks4://HOST:PORT | socks4a://HOST:PORT | socks5://[USER:PASSWORD@]HOST:PORT]
//
// Prints the folder's message count, then one line per message: number, flags, sender, subject.
// Exits with 1 and the error's text when anything fails.

#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "imap/ixImap4.h"
#include "mail/ixMailMessage.h"

namespace {

int Usage() {
    std::cerr << "usage: imap-fetch --server H --port P --user U --password-file F "
                 "--security none|starttls|tls [--ca-file F] [--folder NAME]\n"
                 "       [--proxy socks4://HOST:PORT | socks4a://HOST:PORT | "
                 "socks5://[USER:PASSWORD@]HOST:PORT]\n";
    return 2;
}

std::string ReadPassword(const std::string& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read the password file " + file);
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options{{"--security", "starttls"}, {"--folder", "INBOX"}};
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (i + 1 >= argc || name.rfind("--", 0) != 0) return Usage();
        options[name] = argv[i + 1];
    }
    for (const char* required : {"--server", "--port", "--user", "--password-file"})
        if (options.count(required) == 0) return Usage();
    const std::map<std::string, ix::TixClientTlsMode> modes{{"none", ix::TixClientTlsMode::ctNone},
                                                            {"starttls", ix::TixClientTlsMode::ctExplicit},
                                                            {"tls", ix::TixClientTlsMode::ctImplicit}};
    auto mode = modes.find(options["--security"]);
    if (mode == modes.end()) return Usage();
    ix::TixFirewallSettings proxy;
    if (options.count("--proxy") != 0 && !ix::ParseSocksProxyUrl(options["--proxy"], proxy)) return Usage();

    try {
        ix::TixImap4 imap;
        imap.SetServer(options["--server"]);
        imap.SetPort(std::stoi(options["--port"]));
        imap.SetUserName(options["--user"]);
        imap.SetPassword(ReadPassword(options["--password-file"]));
        imap.SetUseTLS(mode->second);
        if (options.count("--ca-file") != 0) imap.SetCAFile(options["--ca-file"]);
        imap.SetFirewallSettings(proxy);
        imap.Open();

        imap.SelectMailBox(options["--folder"]);
        int count = imap.CurrentMailBox().ExistsMessages;
        std::cout << options["--folder"] << ": " << count << " message(s)";
        if (!imap.TlsVersion().empty())
            std::cout << " over " << imap.TlsVersion() << " (" << imap.TlsCipher() << ")";
        std::cout << "\n";
        ix::TixMailMessage message;
        for (int number = 1; number <= count; ++number) {
            ix::TixMailMessageFlags flags = imap.GetMessageFlags(number);
            imap.RetrieveHeader(number, &message);
            std::cout << number << "\t" << ix::TixImap4::FlagsToText(flags) << "\t"
                      << message.From().FullAddress() << "\t" << message.Subject() << "\n";
        }
        imap.Close();
    } catch (const std::exception& e) {
        std::cerr << "imap-fetch: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

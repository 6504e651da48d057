// dns-query: asks a name server for the records of one type of a name.
//
//   dns-query --server H [--port P] [--protocol auto|udp|tcp] [--timeout MS] [--dump FILE] NAME TYPE
//
// Prints the answer records one a line in presentation form ("www.example. 300 IN A 192.0.2.1").
// --dump writes the reply as received (over TCP with its two length bytes). Exits with 1 and the
// error's text when the query fails.

#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "dns/ixDnsQuery.h"

namespace {

int Usage() {
    std::cerr << "usage: dns-query --server H [--port P] [--protocol auto|udp|tcp] [--timeout MS] "
                 "[--dump FILE] NAME TYPE\n";
    return 2;
}

const char* ClassName(ix::TixDnsRecordClass value) {
    switch (value) {
        case ix::rcCH:
            return "CH";
        case ix::rcHS:
            return "HS";
        default:
            return "IN";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options{
        {"--port", "53"}, {"--protocol", "auto"}, {"--timeout", "5000"}};
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= argc) return Usage();
            options[arg] = argv[++i];
        } else {
            arguments.push_back(arg);
        }
    }
    if (arguments.size() != 2 || options["--server"].empty()) return Usage();
    std::uint16_t type = ix::DnsTypeFromName(arguments[1]);
    if (type == 0) return Usage();
    try {
        ix::TixDnsQuery query;
        query.SetServer(options["--server"]);
        query.SetPort(std::stoi(options["--port"]));
        query.SetTimeOut(std::stoi(options["--timeout"]));
        const std::string& protocol = options["--protocol"];
        if (protocol == "udp")
            query.SetProtocol(ix::dpUseUdp);
        else if (protocol == "tcp")
            query.SetProtocol(ix::dpUseTcp);
        else if (protocol != "auto")
            return Usage();
        std::string dumpFile = options["--dump"];
        if (!dumpFile.empty()) {
            query.OnReceivePacket = [dumpFile](ix::TixObject*, ix::TixStream& data) {
                std::ofstream out(dumpFile, std::ios::binary | std::ios::trunc);
                std::string bytes(static_cast<std::size_t>(data.Remaining()), '\0');
                data.ReadBuffer(bytes.data(), bytes.size());
                out << bytes;
            };
        }
        query.Query(arguments[0], type);
        const ix::TixDnsRecordList& answers = query.Response().Answers;
        for (int i = 0; i < answers.Count(); ++i) {
            const ix::TixDnsRecord& record = answers[i];
            std::cout << record.Name << ". " << record.TTL << ' ' << ClassName(record.RecordClass) << ' '
                      << ix::DnsTypeName(record.RecordType) << ' ' << record.DataText() << '\n';
        }
    } catch (const std::exception& e) {
        std::cerr << "dns-query: " << e.what() << '\n';
        return 1;
    }
    return 0;
}

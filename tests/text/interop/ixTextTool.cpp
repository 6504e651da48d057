// Front end to the text subsystem, so that scripts can compare it with other implementations.
// "ix-text-tool batch" runs many requests in one process. Each request on stdin is one line of
// arguments separated by spaces, one line with the decimal length of the input, then that many
// input bytes. The arguments are one of:
//
//   encode base64|qp|uu [--chars-per-line N] [--suppress-crlf]
//   decode base64|qp|uu [--continue] [--batch-size N]
//   idn label|host
//   charset to|from NAME      (to: local UTF-8 text -> NAME; from: NAME -> local)
//
// Each answer on stdout is one line "STATUS OUTPUT_LENGTH MESSAGE_LENGTH", then the output bytes,
// then the message bytes. A failure has status 3 and the message "error CODE MESSAGE" (CODE is 0
// for errors without one); what was written before the error is still the output. A base64 decode
// that stops at a bad symbol with --continue has status 0 and the message "decode-failed".

#include <exception>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/ixError.h"
#include "base/ixStream.h"
#include "text/ixEncoder.h"
#include "text/ixIdnTranslator.h"
#include "text/ixTranslator.h"

using namespace ix;

namespace {

constexpr int cUsageStatus = 2;
constexpr int cErrorStatus = 3;

struct TixResult {
    int status = 0;
    std::string output;
    std::string message;
};

// A request the tool cannot read is a logic error: std::stoi's errors, a missing argument
// (vector::at), an unknown name.
using TixUsageError = std::invalid_argument;

void RunTransfer(const std::vector<std::string>& args, const std::string& input, TixResult& result) {
    const bool encode = args[0] == "encode";
    TixEncoder encoder;
    const std::map<std::string, TixEncodeMethod> methods{
        {"base64", cmBase64}, {"qp", cmQuotedPrintable}, {"uu", cmUUEncode}};
    encoder.SetEncodeMethod(methods.at(args.at(1)));
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--chars-per-line")
            encoder.SetCharsPerLine(std::stoi(args.at(++i)));
        else if (args[i] == "--suppress-crlf")
            encoder.SetSuppressCrlf(true);
        else if (args[i] == "--continue")
            encoder.SetErrorProcessing(epContinue);
        else if (args[i] == "--batch-size")
            encoder.SetBatchSize(std::stoi(args.at(++i)));
        else
            throw TixUsageError("unknown option: " + args[i]);
    }
    TixMemoryStream source(std::string_view{input});
    TixMemoryStream destination;
    try {
        if (encode)
            encoder.Encode(source, destination);
        else
            encoder.Decode(source, destination);
    } catch (...) {
        // Whatever reached the destination before the failure is part of the observable result.
        result.output.assign(destination.View());
        throw;
    }
    result.output.assign(destination.View());
    if (encoder.DecodeFailed()) result.message = "decode-failed";
}

void RunCharset(const std::vector<std::string>& args, const std::string& input, TixResult& result) {
    const std::string& name = args.at(2);
    if (args[1] == "to") {
        const TixByteArray bytes = TixTranslator::GetBytes(input, name);
        result.output.assign(bytes.begin(), bytes.end());
        // The count must agree with the conversion it predicts.
        if (TixTranslator::GetByteCount(input, name) != static_cast<int>(bytes.size()))
            throw TixUsageError("GetByteCount differs from the size GetBytes returns");
    } else {
        result.output = TixTranslator::GetString(TixByteArray(input.begin(), input.end()), name);
    }
}

TixResult Run(const std::vector<std::string>& args, const std::string& input) {
    TixResult result;
    try {
        if (args.empty()) throw TixUsageError("missing command");
        if (args[0] == "encode" || args[0] == "decode")
            RunTransfer(args, input, result);
        else if (args[0] == "idn")
            result.output = args.at(1) == "label" ? TixIdnTranslator::EncodeLabel(input)
                                                  : TixIdnTranslator::Encode(input);
        else if (args[0] == "charset")
            RunCharset(args, input, result);
        else
            throw TixUsageError("unknown command: " + args[0]);
    } catch (const std::logic_error& e) {
        result.status = cUsageStatus;
        result.message = std::string("usage: ") + e.what();
    } catch (const EixCodedError& e) {
        result.status = cErrorStatus;
        result.message = "error " + std::to_string(e.ErrorCode()) + " " + e.what();
    } catch (const EixError& e) {
        result.status = cErrorStatus;
        result.message = std::string("error 0 ") + e.what();
    }
    return result;
}

std::vector<std::string> Split(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// A request cut short ends the batch: the script sees which answers are missing.
int RunBatch() {
    std::string line, length;
    while (std::getline(std::cin, line) && std::getline(std::cin, length)) {
        std::string input(std::stoul(length), '\0');
        if (!std::cin.read(input.data(), static_cast<std::streamsize>(input.size()))) return cUsageStatus;
        const TixResult result = Run(Split(line), input);
        std::cout << result.status << ' ' << result.output.size() << ' ' << result.message.size() << '\n'
                  << result.output << result.message;
    }
    std::cout.flush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    if (argc != 2 || std::string(argv[1]) != "batch") {
        std::cerr << "usage: ix-text-tool batch\n";
        return cUsageStatus;
    }
    return RunBatch();
}

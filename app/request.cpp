#include "request.h"

#include "platform/wtf8.h"

#include <QString>

namespace {

bool endsWithJson(const std::string &path)
{
    const std::string suffix = ".json";
    return path.size() >= suffix.size() && equalsIgnoringAsciiCase(path.substr(path.size() - suffix.size()), suffix);
}

} // namespace

std::optional<Request> parseRequest(const std::vector<std::string> &arguments)
{
    if (arguments.size() < 2)
        return std::nullopt;
    Request request;
    request.mode = QString::fromUtf8(arguments.at(1).c_str()).toInt();
    request.target = arguments.size() >= 3 ? arguments.at(2) : std::string();
    const std::string &last = arguments.back();
    request.resultPath = endsWithJson(last) ? last : last + ".json";
    return request;
}

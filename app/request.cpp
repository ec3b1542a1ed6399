#include "request.h"

#include <QString>

namespace {

bool endsWithJson(const std::string &path)
{
    static const char Suffix[] = ".json";
    const std::size_t length = sizeof Suffix - 1;
    if (path.size() < length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = path[path.size() - length + i];
        if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != Suffix[i])
            return false;
    }
    return true;
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

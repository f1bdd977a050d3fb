#include "key_path.h"

namespace kestrin::policy {

namespace {
char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

KeyPath SplitKeyPath(std::string_view path)
{
    std::string text(path);
    for (char& c : text) {
        if (c == '\\')
            c = '/';
    }
    size_t end = text.find_last_not_of('/');
    if (end == std::string::npos)
        return {};
    size_t begin = text.find_first_not_of('/');
    std::string_view rest(text.data() + begin, end + 1 - begin);
    KeyPath parts;
    for (;;) {
        size_t slash = rest.find('/');
        parts.emplace_back(rest.substr(0, slash));
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return parts;
}

std::string JoinKeyPath(const KeyPath& path)
{
    if (path.empty())
        return "/";
    std::string joined;
    for (size_t i = 0; i < path.size(); ++i) {
        if (i)
            joined += '/';
        joined += path[i];
    }
    return joined;
}

bool IsEqualPath(const KeyPath& listener, const KeyPath& changed, size_t created)
{
    if (listener.size() > changed.size())
        return false;
    if (changed.size() - listener.size() > created)
        return false;
    for (size_t i = 0; i < listener.size(); ++i) {
        if (!EqualNoCase(listener[i], changed[i]))
            return false;
    }
    return true;
}

}  // namespace kestrin::policy

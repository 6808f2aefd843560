#include "line.h"

#include <iomanip>
#include <limits>

namespace {

void writeKey(std::ostream& out, const std::string& name, int width)
{
    // The padding is the stream's own: left-justified to the width, so a
    // longer key is written whole and the value follows its colon directly.
    out << std::left << std::setw(width) << (name + ":");
}

void writeNewlines(std::ostream& out, int newlines)
{
    for (int i = 0; i < newlines; ++i) out << '\n';
}

template <typename T>
void writeValue(std::ostream& out, const T& value)
{
    out << value;
}

template <>
void writeValue<bool>(std::ostream& out, const bool& value)
{
    out << (value ? 1 : 0);
}

} // namespace

void getNameAndWidth(std::istream& in, const std::string& key, std::string& name, int& width)
{
    name = key.empty() ? std::string() : key.substr(0, key.size() - 1);
    width = static_cast<int>(key.size());
    for (;;) {
        const auto next = in.peek();
        if (next != ' ' && next != '\t') break;
        in.get();
        ++width;
    }
}

template <typename T>
Line<T>::Line() = default;

template <typename T>
Line<T>::Line(std::string name, T value, int width)
{
    set(std::move(name), value, width);
}

template <typename T>
void Line<T>::set(std::string name, T value, int width)
{
    name_ = std::move(name);
    value_ = value;
    width_ = width;
    set_ = true;
}

template <typename T>
void Line<T>::readLine(std::istream& in, const std::string& key)
{
    getNameAndWidth(in, key, name_, width_);
    in >> value_;
    set_ = true;
}

template <typename T>
void Line<T>::printLineIfAllSet(std::ostream& out, int newlines) const
{
    if (!set_) return;
    writeKey(out, name_, width_);
    writeValue(out, value_);
    writeNewlines(out, newlines);
}

template class Line<int>;
template class Line<float>;
template class Line<bool>;

Line<std::string>::Line() = default;

Line<std::string>::Line(std::string name, std::string value, int width, bool quoted)
{
    set(std::move(name), std::move(value), width, quoted);
}

void Line<std::string>::set(std::string name, std::string value, int width, bool quoted)
{
    name_ = std::move(name);
    value_ = std::move(value);
    width_ = width;
    quoted_ = quoted;
    set_ = true;
}

void Line<std::string>::readLine(std::istream& in, const std::string& key)
{
    getNameAndWidth(in, key, name_, width_);
    quoted_ = false;
    std::string text;
    std::getline(in, text);
    const auto last = text.find_last_not_of(" \t");
    text.erase(last == std::string::npos ? 0 : last + 1);
    if (!text.empty() && text.front() == '"' && text.back() == '"') {
        quoted_ = true;
        value_ = text.size() >= 2 ? text.substr(1, text.size() - 2) : std::string();
    } else {
        value_ = text;
    }
    set_ = true;
}

void Line<std::string>::printLineIfAllSet(std::ostream& out, int newlines) const
{
    if (!set_) return;
    writeKey(out, name_, width_);
    if (quoted_)
        out << '"' << value_ << '"';
    else
        out << value_;
    writeNewlines(out, newlines);
}

void readYesNo(Line<bool>& line, std::istream& in, const std::string& key)
{
    std::string name;
    int width = 0;
    getNameAndWidth(in, key, name, width);
    const auto first = in.peek();
    line.set(name, !(first == 'N' || first == 'n'), width);
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}

void printYesNoIfAllSet(Line<bool>& line, std::ostream& out, int newlines)
{
    if (!line.isSet()) return;
    writeKey(out, line.getName(), line.getWidth());
    out << (line.value() ? "YES" : "NO");
    writeNewlines(out, newlines);
}

// One "key: value" line of a text header (the FMR and SDM headers). A field
// remembers its key, its value, the column at which the value starts and
// whether the file had it, so that a header read and written back keeps its
// keys, its value column and its quoting; a field never set is not written.
#pragma once

#include <istream>
#include <ostream>
#include <string>

// One header field of type int, float or bool.
template <typename T>
class Line {
public:
    // An unnamed field that is not set (value and width zero).
    Line();
    Line(std::string name, T value, int width);
    void set(std::string name, T value, int width);

    bool isSet() const { return set_; }
    // The key without its colon.
    std::string& getName() { return name_; }
    const std::string& getName() const { return name_; }
    // The column at which the value starts; the key and colon are padded to it.
    int& getWidth() { return width_; }
    const int& getWidth() const { return width_; }
    T& value() { return value_; }
    const T& value() const { return value_; }
    operator T() const { return value_; }

    // Replace the value only; the name, the width and the set flag stay.
    void updateValue(T value) { value_ = value; }
    Line& operator=(T value)
    {
        value_ = value;
        return *this;
    }

    // Reads the rest of the line that begins with key, the stream standing just
    // after the key: the blanks and tabs that follow widen the field, then the
    // value is extracted. The field is set even when the extraction fails; the
    // failure shows only in the stream's state.
    void readLine(std::istream& in, const std::string& key);
    // Writes "name:" padded to the width, the value and newlines line feeds, if set.
    void printLineIfAllSet(std::ostream& out, int newlines) const;

private:
    std::string name_;
    T value_{};
    int width_ = 0;
    bool set_ = false;
};

// A text field; its value may be written between double quotes.
template <>
class Line<std::string> {
public:
    Line();
    Line(std::string name, std::string value, int width, bool quoted = false);
    void set(std::string name, std::string value, int width, bool quoted = false);

    bool isSet() const { return set_; }
    std::string& getName() { return name_; }
    const std::string& getName() const { return name_; }
    int& getWidth() { return width_; }
    const int& getWidth() const { return width_; }
    std::string& value() { return value_; }
    const std::string& value() const { return value_; }
    operator std::string() const { return value_; }
    // Whether the value is written between double quotes.
    bool& quoted() { return quoted_; }
    const bool& quoted() const { return quoted_; }

    void updateValue(std::string value) { value_ = std::move(value); }
    Line& operator=(std::string value)
    {
        value_ = std::move(value);
        return *this;
    }

    // Reads the rest of the line (line feed consumed), drops trailing blanks
    // and tabs, and takes a value enclosed in double quotes without them.
    void readLine(std::istream& in, const std::string& key);
    void printLineIfAllSet(std::ostream& out, int newlines) const;

private:
    std::string name_;
    std::string value_;
    int width_ = 0;
    bool quoted_ = false;
    bool set_ = false;
};

// The first step of every read: name = key without its colon, width = the
// key's length plus one per blank or tab taken from the stream after it.
void getNameAndWidth(std::istream& in, const std::string& key, std::string& name, int& width);

// A boolean field spelled "YES"/"NO" in the file: a value starting with N or n
// is false, anything else (an empty value too) is true; the rest of the line
// is discarded.
void readYesNo(Line<bool>& line, std::istream& in, const std::string& key);
void printYesNoIfAllSet(Line<bool>& line, std::ostream& out, int newlines);

// Documents are read key by key, split at blanks, so a value written straight
// after its colon would merge with the key and be lost on the next read. This
// prints the field as printLineIfAllSet does, widened where needed so that one
// blank stands between the colon and the value.
template <typename L>
void printDocumentLine(const L& line, std::ostream& out, int newlines)
{
    const int separated = static_cast<int>(line.getName().size()) + 2;
    if (line.getWidth() >= separated) {
        line.printLineIfAllSet(out, newlines);
        return;
    }
    L widened = line;
    widened.getWidth() = separated;
    widened.printLineIfAllSet(out, newlines);
}

extern template class Line<int>;
extern template class Line<float>;
extern template class Line<bool>;

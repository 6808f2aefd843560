// Taking file paths apart and putting them together again. Both "/" and "\"
// separate folders; the extension is whatever follows the last "." of the
// whole string. Bytes only: no case folding, no locale.
#pragma once

#include <string>
#include <vector>

// The folder of a file: everything up to and including the last separator ("" when there is none).
std::string getPath(const std::string& name);
// The part after the last separator (the whole name when there is none).
std::string getFileName(const std::string& name);
// The part before the last dot (the whole name when there is none).
std::string removeExtension(const std::string& name);
// The part after the last "_" (the whole name when there is none).
std::string getPartAfterLastUnderscore(const std::string& name);

// Inserts addition directly before the last dot: ("run1_3DMC.sdm", "_detr") gives "run1_3DMC_detr.sdm".
// A name without a dot throws std::out_of_range.
std::string addToFileName(const std::string& name, const std::string& addition);
// Replaces the extension by addition, which brings its own: ("a.sdm", "_x.csv") gives "a_x.csv".
std::string addToFileNameNewExtension(const std::string& name, const std::string& addition);
// newPath followed by the file name of name; no separator is added between them.
std::string replacePath(const std::string& name, const std::string& newPath);
// The part before the last dot, ".", extension (a name without a dot gets the dot appended).
std::string replaceExtension(const std::string& name, const std::string& extension);

// The text between the first double quote and the next one; everything after a lone quote; "" without quotes.
std::string extractPartBetweenQuotes(const std::string& text);
// The last count characters (the whole text when it is shorter).
std::string getLastCharacters(const std::string& text, unsigned int count);
// Without leading and trailing blanks and tabs; a text of only blanks and tabs comes back unchanged.
std::string removeEnclosingWhiteSpaces(const std::string& text);
// True when name ends in "." followed by extension, compared byte for byte (case-sensitive).
bool hasExtension(const std::string& name, const std::string& extension);

// The words with separator between them ("" for none): ({"a", "b"}, ", ") gives "a, b".
std::string joined(const std::vector<std::string>& words, const char* separator);
// value with decimals digits after the point, rounded as printf rounds; -0 prints as 0.
std::string fixed(double value, int decimals);

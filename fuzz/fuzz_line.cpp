// Header lines on arbitrary bytes. The first byte picks the field kind (int,
// float, bool, text, yes/no); the rest is the stream just after the key. A
// field read and printed must print the same after being read once more:
// same key, same value column, same value and quoting.
#include <sstream>

#include "fuzz_support.h"
#include "line.h"

namespace {

const std::string kKey = "NrOfThings:";

template <typename Field, typename Read, typename Print>
void roundTrip(const std::string& rest, Read read, Print print)
{
    Field field;
    std::istringstream in(rest);
    read(field, in);
    if (!field.isSet()) fuzz::mismatch("a field read is not set", rest, "");
    std::ostringstream out1;
    print(field, out1);
    const std::string first = out1.str();
    // The printed line starts with the key: the reader stands after it.
    if (first.compare(0, kKey.size(), kKey) != 0) fuzz::mismatch("the printed line lost its key", rest, first);
    Field again;
    std::istringstream in2(first.substr(kKey.size()));
    read(again, in2);
    std::ostringstream out2;
    print(again, out2);
    if (out2.str() != first) fuzz::mismatch("a field changed on a second round trip", first, out2.str());
    if (again.getWidth() != field.getWidth()) fuzz::mismatch("the value column moved", first, out2.str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto readField = [](auto& field, std::istream& in) { field.readLine(in, kKey); };
    auto printField = [](auto& field, std::ostream& out) { field.printLineIfAllSet(out, 1); };
    switch (data[0] % 5) {
    case 0: roundTrip<Line<int>>(rest, readField, printField); break;
    case 1: roundTrip<Line<float>>(rest, readField, printField); break;
    case 2: roundTrip<Line<bool>>(rest, readField, printField); break;
    case 3: roundTrip<Line<std::string>>(rest, readField, printField); break;
    default:
        roundTrip<Line<bool>>(
            rest, [](Line<bool>& field, std::istream& in) { readYesNo(field, in, kKey); },
            [](Line<bool>& field, std::ostream& out) { printYesNoIfAllSet(field, out, 1); });
        break;
    }
    return 0;
}

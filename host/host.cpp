// The 28 host functions over the host state.
#define TREMORA_HOST_IMPLEMENTATION
#include "host.h"

#include <cstdlib>
#include <cstring>

#include "plots.h"
#include "maps.h"
#include "run.h"

namespace host {

namespace {
State* current = nullptr;
}

State& state()
{
    if (current == nullptr) current = new State();
    return *current;
}

void reset()
{
    delete current;
    current = new State();
}

void showMessage(State& s, const std::string& text)
{
    s.messages.push_back(text);
    static const std::string errorPrefix = "Error: ";
    if (text.rfind(errorPrefix, 0) == 0) s.errors.push_back(text.substr(errorPrefix.size()));
    if (s.onMessage) s.onMessage(text);
}

std::string State::logText() const
{
    std::string text;
    for (const auto& call : logCalls) text += call;
    return text;
}

std::vector<std::string> State::callsOf(const std::string& function) const
{
    std::vector<std::string> found;
    for (const auto& call : calls)
        if (call == function || call.rfind(function + " ", 0) == 0) found.push_back(call);
    return found;
}

namespace {

void record(const std::string& function, const std::string& argument = std::string())
{
    state().calls.push_back(argument.empty() ? function : function + " " + argument);
}

// Copies text into a host buffer of 512 bytes, always NUL-terminated.
void fillBuffer(char* buffer, const std::string& text)
{
    const std::size_t n = text.size() < 511 ? text.size() : 511;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

const std::string* findParameter(const char* name)
{
    auto& parameters = state().parameters;
    auto it = parameters.find(name != nullptr ? name : "");
    return it == parameters.end() ? nullptr : &it->second;
}

} // namespace
} // namespace host

using host::record;
using host::state;

extern "C" {

void zrGetVersionOfTalmoraZR(int* major, int* minor, int* revision)
{
    record("zrGetVersionOfTalmoraZR");
    *major = state().major;
    *minor = state().minor;
    *revision = state().revision;
}

void zrShowLogTab(void)
{
    record("zrShowLogTab");
    ++state().logTabShown;
}

void zrShowBusyCursor(void)
{
    record("zrShowBusyCursor");
    auto& s = state();
    ++s.busyShown;
    s.busy = true;
    if (s.onBusy) s.onBusy(true);
}

void zrStopBusyCursor(void)
{
    record("zrStopBusyCursor");
    auto& s = state();
    ++s.busyStopped;
    s.busy = false;
    if (s.onBusy) s.onBusy(false);
}

void zrLogText(const char* text)
{
    record("zrLogText");
    auto& s = state();
    s.logCalls.emplace_back(text != nullptr ? text : "");
    if (s.onLog) s.onLog(s.logCalls.back());
}

void zrMessageBox(const char* text)
{
    record("zrMessageBox", text != nullptr ? text : "");
    host::showMessage(state(), text != nullptr ? text : "");
}

int zrGetIDOfCurrentDocument(void)
{
    record("zrGetIDOfCurrentDocument");
    return state().documentId;
}

int zrGetDocumentType(int documentId)
{
    record("zrGetDocumentType", std::to_string(documentId));
    return documentId == state().documentId ? state().documentType : -1;
}

void zrGetStringParameter(const char* name, char* buffer)
{
    record("zrGetStringParameter", name != nullptr ? name : "");
    const std::string* value = host::findParameter(name);
    host::fillBuffer(buffer, value != nullptr ? *value : std::string());
}

void zrSetStringParameter(const char* name, const char* value)
{
    record("zrSetStringParameter", name != nullptr ? name : "");
    state().parameters[name != nullptr ? name : ""] = value != nullptr ? value : "";
}

int zrGetIntParameter(const char* name)
{
    record("zrGetIntParameter", name != nullptr ? name : "");
    const std::string* value = host::findParameter(name);
    return value != nullptr ? static_cast<int>(std::strtol(value->c_str(), nullptr, 10)) : 0;
}

float zrGetFloatParameter(const char* name)
{
    record("zrGetFloatParameter", name != nullptr ? name : "");
    const std::string* value = host::findParameter(name);
    return value != nullptr ? std::strtof(value->c_str(), nullptr) : 0.0f;
}

int zrGetOpenFileName(const char* title, const char* startFolder, const char* filter, char* buffer)
{
    record("zrGetOpenFileName", title != nullptr ? title : "");
    auto& s = state();
    host::DialogRequest request{title != nullptr ? title : "", startFolder != nullptr ? startFolder : "",
                                filter != nullptr ? filter : ""};
    s.dialogs.push_back(request);
    std::optional<std::string> answer;
    if (!s.dialogAnswers.empty()) {
        answer = s.dialogAnswers.front();
        s.dialogAnswers.pop_front();
    } else if (s.dialogFallback) {
        answer = s.dialogFallback(request);
    }
    // A path that does not fit the buffer is never handed over cut short.
    if (!answer || answer->size() > 511) {
        buffer[0] = '\0';
        return 0;
    }
    host::fillBuffer(buffer, *answer);
    return 1;
}

void zrGetHeaderOfCurrentFMR(void* fmrHeader)
{
    record("zrGetHeaderOfCurrentFMR");
    std::memcpy(fmrHeader, &state().run.header, sizeof(FMR_Header));
}

float** zrGetSTCFloatDataOfCurrentFMR(void)
{
    record("zrGetSTCFloatDataOfCurrentFMR");
    return host::runVolumes(state().run);
}

void zrCreateMAPForCurrentFMR(void)
{
    record("zrCreateMAPForCurrentFMR");
    host::createMap(state());
}

float** zrGetMAPOfCurrentFMR(void* mapHeader)
{
    record("zrGetMAPOfCurrentFMR");
    return host::currentMap(state(), static_cast<MAP_Header*>(mapHeader));
}

void zrSetMAPParametersOfCurrentFMR(void* mapHeader)
{
    record("zrSetMAPParametersOfCurrentFMR");
    host::setMapParameters(state(), static_cast<const MAP_Header*>(mapHeader));
}

void zrSaveMAPsOfCurrentFMR(const char* fileName)
{
    record("zrSaveMAPsOfCurrentFMR", fileName != nullptr ? fileName : "");
    host::saveMap(state(), fileName != nullptr ? fileName : "");
}

int zrPlotLine(int count, float* x, float* y, const char* name)
{
    record("zrPlotLine", name != nullptr ? name : "");
    return host::plotLine(state(), count, x, y, name != nullptr ? name : "");
}

void zrAddLineToPlot(int plot, int count, float* x, float* y, const char* name)
{
    record("zrAddLineToPlot", name != nullptr ? name : "");
    host::addLineToPlot(state(), plot, count, x, y, name != nullptr ? name : "");
}

void zrSetPlotLineSizeAndColor(int plot, int line, int size, int red, int green, int blue, int reserved)
{
    (void)reserved;
    record("zrSetPlotLineSizeAndColor", std::to_string(line));
    host::Plot* p = host::findPlot(state(), plot);
    if (p == nullptr || line < 0 || line >= static_cast<int>(p->lines.size())) return;
    auto& l = p->lines[static_cast<std::size_t>(line)];
    l.size = size;
    l.red = red;
    l.green = green;
    l.blue = blue;
}

void zrSetPlotColorTheme(int plot, int theme)
{
    record("zrSetPlotColorTheme", std::to_string(theme));
    if (host::Plot* p = host::findPlot(state(), plot)) p->colorTheme = theme;
}

void zrShowPlotLegend(int plot, int a, int b)
{
    record("zrShowPlotLegend");
    if (host::Plot* p = host::findPlot(state(), plot)) {
        p->legendShown = true;
        p->legendA = a;
        p->legendB = b;
    }
}

void zrResizePlot(int plot, int width, int height)
{
    record("zrResizePlot");
    if (host::Plot* p = host::findPlot(state(), plot)) {
        p->width = width;
        p->height = height;
    }
}

void zrShowPlotAtPosition(int plot, int x, int y)
{
    record("zrShowPlotAtPosition");
    host::showPlot(state(), plot, x, y);
}

void zrSetPlotTitle(int plot, const char* title)
{
    record("zrSetPlotTitle", title != nullptr ? title : "");
    if (host::Plot* p = host::findPlot(state(), plot)) p->title = title != nullptr ? title : "";
}

void zrSetPlotYAxisRange(int plot, float low, float high)
{
    record("zrSetPlotYAxisRange");
    if (host::Plot* p = host::findPlot(state(), plot)) {
        p->hasYRange = true;
        p->yLow = low;
        p->yHigh = high;
    }
}

} // extern "C"

#include "tremora.h"

#include <exception>

// ---------------------------------------------------------------- exports

extern "C" {
TMZRPluginInterface* createPlugin() { return new tremora(); }
const char* getPluginName() { return "Tremora"; }
const char* getPluginDescription()
{
    return "Process the motion predictor SDM in different ways to create a variety of confound models.";
}
const char* getAuthor() { return "<i>LT</i>"; }
const char* getHelpFile() { return "HelpFolder/index.html"; }
const char* getPluginVersion() { return "2.0"; }
const char* getGUIScript() { return "Tremora.js"; }
}

// ---------------------------------------------------------------- log stream

TMZRLog::TMZRBuf::TMZRBuf(void (*output)(const char*))
    : std::stringbuf(std::ios_base::in | std::ios_base::out), output_(output) {}

TMZRLog::TMZRBuf::~TMZRBuf() { sync(); }

int TMZRLog::TMZRBuf::sync()
{
    const std::string text = str();
    if (output_ != nullptr) output_(text.c_str());
    str(std::string());
    return 0;
}

TMZRLog::TMZRLog(void (*output)(const char*)) : std::ostream(new TMZRBuf(output)) {}

TMZRLog::~TMZRLog() { delete rdbuf(); }

// ---------------------------------------------------------------- plug-in object

namespace {

// The log's output function: the host's zrLogText, or nothing when the host
// lacks it (a log call must never throw from inside the stream machinery).
void logToHost(const char* text)
{
    if (zrLogText) zrLogText(text);
}

// A message box that cannot fail: without the host's box the text goes to the log.
void showMessage(const std::string& text)
{
    if (zrMessageBox)
        zrMessageBox(text.c_str());
    else
        logToHost(text.c_str());
}

} // namespace

tremora::~tremora()
{
    if (log_) {
        *log_ << "\n" << getPluginName() << ">  Plugin finished!\n" << std::flush;
        log_.reset();
    }
}

bool tremora::initPlugin()
{
    if (!InitZRAccess()) return false;
    log_ = std::make_unique<TMZRLog>(&logToHost);

    int major = 0, minor = 0, revision = 0;
    zrGetVersionOfTalmoraZR(&major, &minor, &revision);
    if (!checkVersionGreaterEqualVersion(major, minor, revision, 2, 8, 0)) {
        showMessage("Can not execute this plugin - TalmoraZR version 2.8 or higher required.");
        return false;
    }
    try {
        zrShowLogTab();
        *log_ << "\n" << getPluginName() << ">  Running..." << std::flush;
        const int document = zrGetIDOfCurrentDocument();
        if (document < 0) {
            showMessage("No current document available.");
            return false;
        }
        if (zrGetDocumentType(document) != 1) {
            showMessage("The currently active document is not a FMR document.");
            return false;
        }
    } catch (const std::exception& e) {
        // A host without one of these functions cannot run the plug-in.
        showMessage(std::string("Error: ") + e.what());
        return false;
    }
    return true;
}

bool tremora::execute()
{
    bool busy = false;
    try {
        char buffer[512] = {};
        zrGetStringParameter("task", buffer);
        buffer[sizeof buffer - 1] = '\0';
        const std::string task(buffer);

        if (task == "select_3dmcsdm") {
            select_3dmcsdm();
            return true;
        }
        zrShowBusyCursor();
        busy = true;
        if (task == "displacement")
            calculate_displacement();
        else if (task == "confound")
            create_confounds();
        busy = false;
        zrStopBusyCursor();
    } catch (const std::exception& e) {
        if (busy) {
            try {
                zrStopBusyCursor();
            } catch (const std::exception&) {
            }
        }
        showMessage(std::string("Error: ") + e.what());
    }
    return true;
}

// ---------------------------------------------------------------- tasks

void tremora::select_3dmcsdm() {}

void tremora::calculate_displacement() {}

void tremora::create_confounds() {}

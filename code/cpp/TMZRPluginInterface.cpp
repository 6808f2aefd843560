#include "TMZRPluginInterface.h"

#include <dlfcn.h>

bool checkVersionGreaterEqualVersion(int major, int minor, int revision,
                                     int reqMajor, int reqMinor, int reqRevision)
{
    if (major > reqMajor) return true;
    if (major < reqMajor) return false;
    if (minor > reqMinor) return true;
    return minor == reqMinor && revision >= reqRevision;
}

#define TREMORA_DEFINE_HOST_FUNCTION(name, signature) \
    TREMORA_HIDDEN HostFunction<signature> name(#name)

TREMORA_DEFINE_HOST_FUNCTION(zrGetVersionOfTalmoraZR, void(int*, int*, int*));
TREMORA_DEFINE_HOST_FUNCTION(zrShowLogTab, void());
TREMORA_DEFINE_HOST_FUNCTION(zrShowBusyCursor, void());
TREMORA_DEFINE_HOST_FUNCTION(zrStopBusyCursor, void());
TREMORA_DEFINE_HOST_FUNCTION(zrLogText, void(const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrMessageBox, void(const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrGetIDOfCurrentDocument, int());
TREMORA_DEFINE_HOST_FUNCTION(zrGetDocumentType, int(int));
TREMORA_DEFINE_HOST_FUNCTION(zrGetStringParameter, void(const char*, char*));
TREMORA_DEFINE_HOST_FUNCTION(zrSetStringParameter, void(const char*, const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrGetIntParameter, int(const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrGetFloatParameter, float(const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrGetOpenFileName, int(const char*, const char*, const char*, char*));
TREMORA_DEFINE_HOST_FUNCTION(zrGetHeaderOfCurrentFMR, void(void*));
TREMORA_DEFINE_HOST_FUNCTION(zrGetSTCFloatDataOfCurrentFMR, float**());
TREMORA_DEFINE_HOST_FUNCTION(zrCreateMAPForCurrentFMR, void());
TREMORA_DEFINE_HOST_FUNCTION(zrGetMAPOfCurrentFMR, float**(void*));
TREMORA_DEFINE_HOST_FUNCTION(zrSetMAPParametersOfCurrentFMR, void(void*));
TREMORA_DEFINE_HOST_FUNCTION(zrSaveMAPsOfCurrentFMR, void(const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrPlotLine, int(int, float*, float*, const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrAddLineToPlot, void(int, int, float*, float*, const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrSetPlotLineSizeAndColor, void(int, int, int, int, int, int, int));
TREMORA_DEFINE_HOST_FUNCTION(zrSetPlotColorTheme, void(int, int));
TREMORA_DEFINE_HOST_FUNCTION(zrShowPlotLegend, void(int, int, int));
TREMORA_DEFINE_HOST_FUNCTION(zrResizePlot, void(int, int, int));
TREMORA_DEFINE_HOST_FUNCTION(zrShowPlotAtPosition, void(int, int, int));
TREMORA_DEFINE_HOST_FUNCTION(zrSetPlotTitle, void(int, const char*));
TREMORA_DEFINE_HOST_FUNCTION(zrSetPlotYAxisRange, void(int, float, float));

bool InitZRAccess()
{
    // The host process itself; the handle stays open for the life of the process.
    void* process = dlopen(nullptr, RTLD_LAZY);
    if (process == nullptr) return false;
    void* version = dlsym(process, "zrGetVersionOfTalmoraZR");
    if (version == nullptr) return false;
    zrGetVersionOfTalmoraZR.bind(version);

    // The rest in a fixed order, each stored without a check: a function the
    // host lacks stays unbound and throws when called.
    auto bind = [process](auto& function) { function.bind(dlsym(process, function.name())); };
    bind(zrShowLogTab);
    bind(zrShowBusyCursor);
    bind(zrStopBusyCursor);
    bind(zrLogText);
    bind(zrMessageBox);
    bind(zrGetIDOfCurrentDocument);
    bind(zrGetDocumentType);
    bind(zrGetStringParameter);
    bind(zrSetStringParameter);
    bind(zrGetIntParameter);
    bind(zrGetFloatParameter);
    bind(zrGetOpenFileName);
    bind(zrGetHeaderOfCurrentFMR);
    bind(zrGetSTCFloatDataOfCurrentFMR);
    bind(zrCreateMAPForCurrentFMR);
    bind(zrGetMAPOfCurrentFMR);
    bind(zrSetMAPParametersOfCurrentFMR);
    bind(zrSaveMAPsOfCurrentFMR);
    bind(zrPlotLine);
    bind(zrAddLineToPlot);
    bind(zrSetPlotLineSizeAndColor);
    bind(zrSetPlotColorTheme);
    bind(zrShowPlotLegend);
    bind(zrResizePlot);
    bind(zrShowPlotAtPosition);
    bind(zrSetPlotTitle);
    bind(zrSetPlotYAxisRange);
    return true;
}

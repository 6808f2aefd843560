// Access to the host application: its plug-in base class, the binding of its
// exported zr... functions, the version test, and the records it fills.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

// The host's abstract plug-in class. Slot order is fixed by the host:
// complete destructor, deleting destructor, execute, initPlugin.
class TMZRPluginInterface {
public:
    virtual ~TMZRPluginInterface() = default;
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;
};

// Lexicographic test of (major, minor, revision) >= (reqMajor, reqMinor, reqRevision).
bool checkVersionGreaterEqualVersion(int major, int minor, int revision,
                                     int reqMajor, int reqMinor, int reqRevision);

// Binds the host functions from the running process. False when the process
// cannot be opened or has no zrGetVersionOfTalmoraZR.
bool InitZRAccess();

// The host's record of its current run, 1160 bytes; only these fields are read.
struct FMR_Header {
    char FileName[304];
    int NrOfVolumes;
    int DimX;
    int DimY;
    int DimZ;
    float VoxelSizeX;
    float VoxelSizeY;
    float VoxelSizeZ;
    char hostReserved[1160 - 332];
};
static_assert(sizeof(FMR_Header) == 1160);
static_assert(offsetof(FMR_Header, FileName) == 0);
static_assert(offsetof(FMR_Header, NrOfVolumes) == 304);
static_assert(offsetof(FMR_Header, DimX) == 308);
static_assert(offsetof(FMR_Header, DimY) == 312);
static_assert(offsetof(FMR_Header, DimZ) == 316);
static_assert(offsetof(FMR_Header, VoxelSizeX) == 320);
static_assert(offsetof(FMR_Header, VoxelSizeY) == 324);
static_assert(offsetof(FMR_Header, VoxelSizeZ) == 328);

// The header of one map of the current run, 64 bytes.
struct MAP_Header {
    int DimX;
    int DimY;
    int DimZ;
    int MapType;
    float Threshold1;
    float Threshold2;
    int hostField24;
    int Field28;       // set to 0 by the plug-in
    int DF1;
    int DF2;
    char hostReserved[64 - 40];
};
static_assert(sizeof(MAP_Header) == 64);
static_assert(offsetof(MAP_Header, DimX) == 0);
static_assert(offsetof(MAP_Header, DimY) == 4);
static_assert(offsetof(MAP_Header, DimZ) == 8);
static_assert(offsetof(MAP_Header, MapType) == 12);
static_assert(offsetof(MAP_Header, Threshold1) == 16);
static_assert(offsetof(MAP_Header, Threshold2) == 20);
static_assert(offsetof(MAP_Header, Field28) == 28);
static_assert(offsetof(MAP_Header, DF1) == 32);
static_assert(offsetof(MAP_Header, DF2) == 36);

// One bound host function. Calling one the host does not provide throws a
// std::runtime_error naming it, instead of jumping through a null pointer.
template <typename Signature> class HostFunction;

template <typename R, typename... Args>
class HostFunction<R(Args...)> {
public:
    using Pointer = R (*)(Args...);
    explicit constexpr HostFunction(const char* name) : name_(name) {}
    R operator()(Args... args) const {
        if (fn_ == nullptr)
            throw std::runtime_error(std::string("The host does not provide ") + name_);
        return fn_(args...);
    }
    void bind(void* symbol) { fn_ = reinterpret_cast<Pointer>(symbol); }
    Pointer get() const { return fn_; }
    const char* name() const { return name_; }
    explicit operator bool() const { return fn_ != nullptr; }

private:
    const char* name_;
    Pointer fn_ = nullptr;
};

#ifndef TREMORA_HOST_IMPLEMENTATION
// (A host implementation defines TREMORA_HOST_IMPLEMENTATION before including
// this header: it provides the functions of these names itself.)
//
// The bound functions keep the host's names but stay out of the library's
// dynamic symbol table, so the dynamic linker never confuses them with the
// host's own symbols.
#define TREMORA_HIDDEN __attribute__((visibility("hidden")))

// version and shell
extern TREMORA_HIDDEN HostFunction<void(int*, int*, int*)> zrGetVersionOfTalmoraZR;
extern TREMORA_HIDDEN HostFunction<void()> zrShowLogTab;
extern TREMORA_HIDDEN HostFunction<void()> zrShowBusyCursor;
extern TREMORA_HIDDEN HostFunction<void()> zrStopBusyCursor;
extern TREMORA_HIDDEN HostFunction<void(const char*)> zrLogText;
extern TREMORA_HIDDEN HostFunction<void(const char*)> zrMessageBox;
// documents
extern TREMORA_HIDDEN HostFunction<int()> zrGetIDOfCurrentDocument;
extern TREMORA_HIDDEN HostFunction<int(int)> zrGetDocumentType;
// script parameters (string buffers are 512 bytes)
extern TREMORA_HIDDEN HostFunction<void(const char*, char*)> zrGetStringParameter;
extern TREMORA_HIDDEN HostFunction<void(const char*, const char*)> zrSetStringParameter;
extern TREMORA_HIDDEN HostFunction<int(const char*)> zrGetIntParameter;
extern TREMORA_HIDDEN HostFunction<float(const char*)> zrGetFloatParameter;
// file dialog: nonzero when a file was chosen; its path is in the 512-byte buffer
extern TREMORA_HIDDEN HostFunction<int(const char*, const char*, const char*, char*)> zrGetOpenFileName;
// current run
extern TREMORA_HIDDEN HostFunction<void(void*)> zrGetHeaderOfCurrentFMR;
extern TREMORA_HIDDEN HostFunction<float**()> zrGetSTCFloatDataOfCurrentFMR;
// maps of the current run
extern TREMORA_HIDDEN HostFunction<void()> zrCreateMAPForCurrentFMR;
extern TREMORA_HIDDEN HostFunction<float**(void*)> zrGetMAPOfCurrentFMR;
extern TREMORA_HIDDEN HostFunction<void(void*)> zrSetMAPParametersOfCurrentFMR;
extern TREMORA_HIDDEN HostFunction<void(const char*)> zrSaveMAPsOfCurrentFMR;
// plots, named by the handle zrPlotLine returns
extern TREMORA_HIDDEN HostFunction<int(int, float*, float*, const char*)> zrPlotLine;
extern TREMORA_HIDDEN HostFunction<void(int, int, float*, float*, const char*)> zrAddLineToPlot;
extern TREMORA_HIDDEN HostFunction<void(int, int, int, int, int, int, int)> zrSetPlotLineSizeAndColor;
extern TREMORA_HIDDEN HostFunction<void(int, int)> zrSetPlotColorTheme;
extern TREMORA_HIDDEN HostFunction<void(int, int, int)> zrShowPlotLegend;
extern TREMORA_HIDDEN HostFunction<void(int, int, int)> zrResizePlot;
extern TREMORA_HIDDEN HostFunction<void(int, int, int)> zrShowPlotAtPosition;
extern TREMORA_HIDDEN HostFunction<void(int, const char*)> zrSetPlotTitle;
extern TREMORA_HIDDEN HostFunction<void(int, float, float)> zrSetPlotYAxisRange;
#endif // TREMORA_HOST_IMPLEMENTATION

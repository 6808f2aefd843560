// Uses the installed library's programming interface and its plain exports,
// and the quality-control library of the component qc.
#include <cstdio>
#include <cstring>

#include "TMZRPluginInterface.h"
#include "motionfiles.h"
#include "tremora.h"

int main()
{
    if (!checkVersionGreaterEqualVersion(2, 8, 0, 2, 8, 0)) return 1;
    if (std::strcmp(getPluginName(), "Tremora") != 0) return 1;
    if (qc::motionFormatOfFileName("sub-01_bold.par") != qc::MotionFormat::FSL) return 1;
    std::puts(getPluginVersion());
    return 0;
}

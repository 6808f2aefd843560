# Sourced by the benchmark scripts: numpy on OpenBLAS (Debian's
# libopenblas0-pthread), whatever BLAS the system has chosen, so that numpy
# runs its fastest, threaded by OPENBLAS_NUM_THREADS. OPENBLAS_CORETYPE and
# OPENBLAS_L2_SIZE, which some machines set for older builds, are left out
# so that OpenBLAS picks the kernel for this processor; numpy_info names it.
openblas_dir=/usr/lib/x86_64-linux-gnu/openblas-pthread
if [ ! -e "$openblas_dir/libblas.so.3" ]; then
  echo "OpenBLAS is missing: apt-get install libopenblas0-pthread (make bench installs it)" >&2
  exit 1
fi
# A command prefix (word-split on purpose): $numpy_env /usr/bin/python3 ...
numpy_env="env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE LD_LIBRARY_PATH=$openblas_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
numpy_info() {
  $numpy_env /usr/bin/python3 -c '
import numpy, threadpoolctl
blas = [i for i in threadpoolctl.threadpool_info() if i["user_api"] == "blas"]
print("   numpy %s, BLAS: %s" % (numpy.__version__, ", ".join(
    "%s %s (%s kernel) %s" % (i["internal_api"], i["version"], i.get("architecture"), i["filepath"]) for i in blas) or "none found"))'
}

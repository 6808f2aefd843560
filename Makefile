# The two commands of the README: `make demo` and `make test`.
# Both first install missing Debian packages (as root) or print the apt-get line.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

DEB_PACKAGES = cmake g++ make pkg-config libglm-dev libgtest-dev libgmock-dev libbenchmark-dev \
               libnifti2-dev zlib1g-dev libdeflate-dev libisal-dev libsimdjson-dev nlohmann-json3-dev libpng-dev librsvg2-bin python3-numpy python3-nibabel \
               python3-nipype python3-nitime chromium snakemake libboost-dev
# The one-node SLURM of `make test-cluster`.
CLUSTER_PACKAGES = slurmctld slurmd slurm-client munge

# numpy on OpenBLAS for the benchmarks' comparisons (the scripts load it by
# its path, whatever BLAS the system has chosen), and threadpoolctl to name it.
BENCH_PACKAGES = libopenblas0-pthread python3-threadpoolctl

.PHONY: container container-archive test-container all deps deps-fuzz deps-bench deps-validator deps-cluster build demo test test-release test-asan test-cluster fuzz bench bench-run bench-displacement bench-analyze bench-carpet install plugin readme clean

all: build

deps:
	@./scripts/install-deps.sh $(DEB_PACKAGES)

deps-bench: deps
	@./scripts/install-deps.sh $(BENCH_PACKAGES)

# The BIDS validator (npm, pinned in tests/validator) that the tests check the sample study with.
deps-validator:
	@./tests/validator/install.sh

deps-cluster: deps
	@./scripts/install-deps.sh $(CLUSTER_PACKAGES)

deps-fuzz: deps
	@./scripts/install-deps.sh clang-14 libfuzzer-14-dev libclang-rt-14-dev

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Only what the demo runs: the plug-in, the program and the help page (no test program).
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target tremora tremora_cli help_page
	./scripts/demo.sh $(BUILD)

test-release: build deps-validator
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps deps-validator
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTREMORA_SANITIZE=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

test: test-release test-asan

# A one-node SLURM on this machine (as root) and the Snakemake workflow through it.
test-cluster: build deps-cluster
	./tests/cluster/run.sh $(BUILD)

# The fuzz targets (document, motion-file and NIfTI readers), FUZZ_SECONDS
# (default 60) each; not part of `make test`. CI builds and runs them briefly
# (`make fuzz FUZZ_SECONDS=10`), so that they keep compiling.
FUZZ_SECONDS ?= 60
fuzz: deps-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh $(BUILD)-fuzz

# Benchmarks against numpy (not tests): the displacement maps, the whole
# displacement task and the confound model analysis on synthetic runs, on
# one thread and on all. BASELINE=REV also times the whole task of the
# program at git revision REV (say main), back to back.
BASELINE ?=
bench: bench-displacement bench-analyze bench-carpet

# One run's whole job beside gzip -dc and nipype's DVARS, then the study-level
# steps for 1000, 5000 and 20000 participants (SCALE_SIZES): benchmarks, not tests.
SCALE_SIZES ?= 1000 5000 20000
bench-run: deps-bench
	./bench/run_run.sh $(BUILD)-bench
	./bench/run_scale.sh $(BUILD)-bench $(SCALE_SIZES)

bench-displacement: deps-bench
	./bench/run_displacement.sh $(BUILD)-bench $(if $(BASELINE),--baseline $(BASELINE))

bench-analyze: deps-bench
	./bench/run_analyze.sh $(BUILD)-bench

bench-carpet: deps
	./bench/run_carpet.sh $(BUILD)-bench

install: build
	cmake --install $(BUILD)

# The plug-in folder (libtremora.so with HelpFolder/index.html beside it, the
# headers, the CMake package and the tremora program) under PLUGIN_PREFIX,
# then a check that the installed program runs the installed plug-in.
PLUGIN_PREFIX ?= $(BUILD)/plugin
plugin: build
	cmake --install $(BUILD) --prefix $(PLUGIN_PREFIX)
	@libdir=$$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' $(BUILD)/CMakeCache.txt); \
	  plugin="$(PLUGIN_PREFIX)/$$libdir"; check=$$(mktemp -d); \
	  test -f "$$plugin/HelpFolder/index.html" && \
	  "$(PLUGIN_PREFIX)/bin/tremora" synth --out "$$check" --dims 8 8 6 --volumes 10 >/dev/null && \
	  "$(PLUGIN_PREFIX)/bin/tremora" run select_3dmcsdm --fmr "$$check/synth.fmr" --choose "$$check/synth_3DMC.sdm" \
	    --plugin "$$plugin/libtremora.so" >/dev/null; status=$$?; rm -rf "$$check"; \
	  if [ $$status -ne 0 ]; then echo "the plug-in in $$plugin does not load and run" >&2; exit 1; fi; \
	  echo "Plug-in folder: $$plugin (copy libtremora.so and HelpFolder/ together)"

# The BIDS App's container image (Containerfile) with docker, else podman or
# buildah (installed when missing), on a debian:bookworm base made with
# debootstrap when there is none and no registry answers; its docker-archive
# beside the sources; and the image's outputs checked against a direct run's.
VERSION := $(shell sed -n 's/^project.tremora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
IMAGE   ?= tremora:$(VERSION)
ARCHIVE ?= tremora-$(VERSION).tar

container:
	./scripts/container.sh build $(IMAGE)

container-archive: container
	./scripts/container.sh archive $(IMAGE) $(ARCHIVE)
	@echo "Image archive: $(ARCHIVE) (docker load -i $(ARCHIVE))"

# (Of the direct build, only the program and the plug-in are needed.)
test-container: deps container-archive
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target tremora_cli help_page
	./tests/container/run.sh $(BUILD) $(IMAGE) $(ARCHIVE)

# The README's script reference, from the task declarations.
readme: build
	cmake --build $(BUILD) --target readme

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) demo

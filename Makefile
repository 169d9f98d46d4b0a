# Entry points for people and CI; the build itself is CMake (CMakePresets.json).
PRESETS := host sanitize win32 win64

.PHONY: all deps test demo e2e fuzz release clean

# The build that `make e2e` runs under Wine; any build will do.
EXE ?= build/win64/Uninstall.exe
E2E_TOOLS := build/win64/tests/e2e

# The shipped executable: build/win32/Uninstall.exe.
all: deps
	cmake --preset win32
	cmake --build --preset win32

deps:
	@scripts/install-deps.sh

# Every test: unit and property tests on Linux, again under AddressSanitizer
# and UndefinedBehaviorSanitizer with a short fuzzing run, then each Windows
# build's own checks (static facts, reproducibility, the suite under Wine).
test: deps
	@set -e; for preset in $(PRESETS); do \
	  cmake --preset $$preset >/dev/null; \
	  cmake --build --preset $$preset; \
	  ctest --preset $$preset; \
	done

# The removal and the hand-off, shown for real in a throwaway Wine machine
# with the real Windows Installer: the shipped 32-bit build where this machine
# runs 32-bit programs, else the 64-bit build.
demo: deps
	@for preset in win32 win64; do \
	  cmake --preset $$preset >/dev/null && cmake --build --preset $$preset >/dev/null || exit 1; \
	done
	@/usr/bin/python3 -B tests/e2e/demo.py --exe32 build/win32/Uninstall.exe \
	  --exe64 build/win64/Uninstall.exe --tools $(E2E_TOOLS)

# The end-to-end suite against any build, 32-bit or 64-bit:
# make e2e EXE=path/to/Uninstall.exe
e2e: deps
	cmake --preset win64 >/dev/null
	cmake --build --preset win64
	/usr/bin/python3 -B -m pytest tests/e2e -p no:cacheprovider -v -rs --exe $(EXE) --tools $(E2E_TOOLS)

# Fuzzes the command-line cutting for FUZZ_SECONDS; fails on any finding,
# whose input libFuzzer writes to build/sanitize/crash-*.
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize --target command_line_fuzzer
	cd build/sanitize && ./tests/fuzz/command_line_fuzzer -max_total_time=$(FUZZ_SECONDS) \
	  -timeout=5 -print_final_stats=1 tests/fuzz/corpus ../../tests/fuzz/corpus

# The release folder: the shipped file and SHA256SUMS, signed with
# make release SIGN_CERT=cert.pem SIGN_KEY=key.pem, or SIGN_PKCS12=file.p12
# SIGN_PASSWORD=..., and SIGN_TIMESTAMP_URL=... for a time stamp.
DIST ?= dist
export SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASSWORD SIGN_TIMESTAMP_URL
release: all
	@scripts/release.sh build/win32/Uninstall.exe $(DIST)

clean:
	rm -rf build

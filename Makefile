# Entry points for people and CI; the build itself is CMake (CMakePresets.json).
PRESETS := host win32 win64

.PHONY: all deps test clean

# The shipped executable: build/win32/Uninstall.exe.
all: deps
	cmake --preset win32
	cmake --build --preset win32

deps:
	@scripts/install-deps.sh

# Every test: unit tests on Linux, then each Windows build's own checks.
test: deps
	@set -e; for preset in $(PRESETS); do \
	  cmake --preset $$preset >/dev/null; \
	  cmake --build --preset $$preset; \
	  ctest --preset $$preset; \
	done

clean:
	rm -rf build

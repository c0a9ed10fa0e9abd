# One entry point for building, testing and running the agent on Linux.
#   make build   cross-compiles build/win32/Tembrix.exe (and the test tools)
#   make test    every test: native unit tests (ASan/UBSan), Windows-layer tests under Wine,
#                end-to-end tests of the real exe under Wine and Xvfb, a short fuzz run
#   make run     starts the agent under Wine beside a local management server (TLS=1: over HTTPS)
#   make fuzz    a longer fuzz run of the portable parsers
#   make dist    the release exe and its debug file, its MSI, the Group Policy templates, a zip and
#                SHA-256 sums under dist/; signed when TEMBRIX_SIGN_PFX names a PKCS#12 file
#   make screenshots  renders the tray's icons, tip and notifications, the menus, dialogs and
#                warning boxes (and the menus and dialogs at 144 dpi) to docs/*.png
#   make bench   long-run figures of lock-state publishing (memory, handles, time per cycle),
#                the exit time, the pipe's hand-over from one agent to the next and how soon
#                the tray's icon shows a change
#
# What ships is always the 32-bit build. Where this machine cannot run 32-bit x86 code, the tests,
# `make run`, `make bench` and `make screenshots` run the x86-64 twin of the same sources, built
# under build/win64 (tools/shape.sh decides; TEMBRIX_TEST_ARCH=win32|win64 overrides it).
PY := /usr/bin/python3
FUZZ_SECONDS ?= 60
# Asked when a recipe runs, not when make starts: the package install may settle it.
SHAPE = $(shell tools/shape.sh)

.PHONY: all deps build runnable dist native win-tests e2e fuzz-build fuzz fuzz-smoke test shape run screenshots bench clean browser-deps mgmt-tests

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32

# The exes that run here: the shipped build, or beside it its twin.
runnable: build
	@if [ "$(SHAPE)" = win64 ]; then cmake --preset win64 >/dev/null && cmake --build --preset win64; fi

dist: build
	cmake --build --preset win32 --target dist

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native
	ctest --preset native

win-tests: runnable
	$(PY) tests/wine_session.py -- ctest --preset $(SHAPE)

e2e: runnable browser-deps
	$(PY) -m pytest

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

fuzz-smoke: fuzz-build
	tests/fuzz/run.sh 10

fuzz: fuzz-build
	tests/fuzz/run.sh $(FUZZ_SECONDS)

# playwright-core drives Debian's Chromium in the management server's browser tests.
browser-deps: deps
	@test -d tests/browser/node_modules/playwright-core || (cd tests/browser && npm ci --no-audit --no-fund)

mgmt-tests: browser-deps
	$(PY) -m pytest tests/mgmt

test: shape native fuzz-smoke win-tests mgmt-tests e2e
	@$(PY) tests/winenv.py ran

shape: deps
	@$(PY) tests/winenv.py run

run: runnable
	$(PY) tools/run.py $(if $(TLS),--tls)

screenshots: runnable
	$(PY) tools/screenshots.py

bench: runnable
	$(PY) bench/bench_lockstate.py

clean:
	rm -rf build dist

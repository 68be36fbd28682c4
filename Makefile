# Set-up, build, run and test on a Debian 12 or 13 machine.
BUILD := build
ASAN_BUILD := build-asan
BENCH_BUILD := build-bench
# make deb builds from a copy of the tree here, and leaves the .deb here.
DEB_BUILD := build-deb
FUZZ_BUILD := build-fuzz
# Seconds each fuzz target runs; CI gives each one minute.
FUZZ_SECONDS := 180
JOBS := $(shell nproc)

# What Debian's classic SDL 1.2 needs at run time, for the one test that
# runs the player on it (the test downloads the library itself).
CLASSIC_SDL_PACKAGES := libasound2 libcaca0 libpulse0 libx11-6 libxext6
# The sound server the sound tests and the bench run a private copy of, as
# the desktop has it: beside pipewire-pulse, PulseAudio would enable its own
# user socket on the same path, and the next login might start it instead.
# PipeWire's needs a session bus of its own. pactl and parec talk to either.
SOUND_SERVER_PACKAGES := pulseaudio-utils $(if $(shell dpkg-query -W -f='$${Status}' pipewire-pulse 2>/dev/null \
	| grep 'install ok installed'),pipewire pipewire-pulse wireplumber dbus-daemon,pulseaudio)
# The media control tests run their own session bus and drive it with
# playerctl; dbus-x11 brings the X11 autolaunch a desktop has, which the
# player must never set off.
PACKAGES := build-essential cmake pkg-config \
	libsdl1.2-compat-dev libsdl-ttf2.0-dev libmpg123-dev libsoxr-dev libpulse-dev libsystemd-dev \
	googletest libgtest-dev libbenchmark-dev \
	libx11-dev libxtst-dev libpng-dev lame mpg123 xvfb imagemagick \
	fonts-quicksand $(SOUND_SERVER_PACKAGES) \
	dbus dbus-x11 playerctl $(CLASSIC_SDL_PACKAGES)
# Only the benchmarks need these: perf to profile, valgrind to count
# instructions.
BENCH_PACKAGES := linux-perf valgrind
# The font tool reads these fonts; Debian's python3 has fontTools.
FONT_PACKAGES := python3-fonttools fonts-quicksand fonts-comfortaa fonts-nanum fonts-droid-fallback
# The release's own clang, as its clang package (Debian's llvm-defaults)
# names it: 14 on Debian 12, 19 on Debian 13. Worked out only where used,
# from apt's lists or the installed package.
CLANG_VERSION = $(or $(shell apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$$/\1/p' | head -n 1),\
	$(error apt knows no clang package: run apt-get update))
# The formatter the sources are kept in; .clang-format gives the same layout
# at 14 and 19.
CLANG_FORMAT = clang-format-$(CLANG_VERSION)
FORMAT_PACKAGES = $(CLANG_FORMAT)
SOURCES = $(shell find app browser display playback tests tools bench -name '*.cpp' -o -name '*.h')
# Only the fuzz targets need these: clang and its libFuzzer, of one version.
FUZZ_PACKAGES = clang-$(CLANG_VERSION) libfuzzer-$(CLANG_VERSION)-dev

# Warnings fail the build in CI.
CMAKE_FLAGS := $(if $(CI),-DKLAMOR_WERROR=ON,)

.PHONY: all deps deb-deps bench-deps fuzz-deps font-deps format-deps build player run install deb test test-asan bench fuzz font font-check format format-check clean

all: build

# Installs whichever of the packages in $(1) are missing, with apt-get. A
# name counts as present when an installed package has it or provides it, as
# Debian 13's libasound2t64 provides libasound2: apt would install nothing
# for it, and asking again at every make would only cost an apt-get update.
define install_missing
	@present=$$(dpkg-query -W -f='$${db:Status-Status} $${Package}, $${Provides}\n' 2>/dev/null | \
		sed -n 's/^installed //p' | sed 's/([^)]*)//g' | tr ',' '\n' | tr -d ' '); \
	missing=$$(for p in $(1); do echo "$$present" | grep -qxF "$$p" || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "Installing $$missing"; \
		if [ "$$(id -u)" -eq 0 ]; then sudo=; else sudo=sudo; fi; \
		$$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

bench-deps: deps
	$(call install_missing,$(BENCH_PACKAGES))

fuzz-deps: deps
	$(call install_missing,$(FUZZ_PACKAGES))

format-deps:
	$(call install_missing,$(FORMAT_PACKAGES))

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	@ln -sf $(BUILD)/compile_commands.json compile_commands.json

# Only the player, not the suite and the tools.
player: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target klamor

run: player
	./$(BUILD)/klamor

# Into /usr/local by default; PREFIX=... and DESTDIR=... as usual.
install: player
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Installs only what building the package needs: debian/control's
# Build-Depends and build-essential, as apt-get build-dep reads them.
deb-deps:
	@if ! dpkg-checkbuilddeps >/dev/null 2>&1; then \
		echo "Installing what building the package needs"; \
		if [ "$$(id -u)" -eq 0 ]; then sudo=; else sudo=sudo; fi; \
		$$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get build-dep -y -qq ./; \
	fi

# Keeps whatever else is in $(DEB_BUILD), such as .ci/check_package's clean
# root.
deb: deb-deps
	rm -rf $(DEB_BUILD)/klamor $(DEB_BUILD)/klamor[_-]*
	mkdir -p $(DEB_BUILD)/klamor
	tar -c --exclude-vcs --exclude='./build*' --exclude=./compile_commands.json --exclude='./temp/*' . \
		| tar -x -C $(DEB_BUILD)/klamor
	cd $(DEB_BUILD)/klamor && dpkg-buildpackage -us -uc -b
	@ls $(DEB_BUILD)/klamor_*.deb

# CTest names the tests it skipped but not why; their own words say.
SKIP_REASONS = grep -h ': skipped: ' $(1)/Testing/Temporary/LastTest.log || true

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(call SKIP_REASONS,$(BUILD))

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKLAMOR_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	@$(call SKIP_REASONS,$(ASAN_BUILD))

bench: bench-deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKLAMOR_TESTS=OFF -DKLAMOR_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	./bench/run $(BENCH_BUILD)

# Runs every fuzz target for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=60).
fuzz: fuzz-deps
	CC=clang-$(CLANG_VERSION) CXX=clang++-$(CLANG_VERSION) cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKLAMOR_TESTS=OFF -DKLAMOR_TOOLS=OFF \
		-DKLAMOR_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_decoder fuzz_list
	./tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

font-deps:
	$(call install_missing,$(FONT_PACKAGES))

# Rebuilds GeosansLight.ttf and its licence files from the font packages.
font: font-deps
	/usr/bin/python3 tools/make_font.py .

# Builds the font afresh and compares it with the committed one: the font
# byte for byte, the licences line by line but for trailing spaces, which
# Debian 13's copies of the font packages' licences lost.
font-check: font-deps
	@work=$$(mktemp -d) && trap 'rm -rf "$$work"' EXIT && \
	/usr/bin/python3 tools/make_font.py "$$work" && \
	for f in "$$work"/*.ttf; do cmp "$$f" "$$(basename "$$f")" || exit 1; done && \
	for f in "$$work"/*.txt; do diff -u --ignore-trailing-space "$$(basename "$$f")" "$$f" || exit 1; done && \
	echo "font-check: the committed font and licences are what the tool builds"

format: format-deps
	$(CLANG_FORMAT) -i $(SOURCES)

format-check: format-deps
	$(CLANG_FORMAT) --dry-run --Werror $(SOURCES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(DEB_BUILD) $(FUZZ_BUILD)

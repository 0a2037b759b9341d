# The two commands a newcomer needs: `make run` and `make test`. Both install what is missing.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all setup configure build run test asan fuzz bench bench-cli bench-quality format install package

all: build

setup:
	scripts/setup

configure: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/app/velmora

# The two programs, the window's menu entry and icon, and the README under PREFIX (default
# /usr/local); `make package` makes the Debian package of the same files in $(BUILD).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	cd $(BUILD) && cpack -G DEB

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The unit tests again, under address and undefined-behaviour sanitizers.
asan: setup
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_WITH_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD)/bench/velmora_bench_core
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/window/velmora_bench_window

# velmora-cli on 100 pictures against decoding alone and against ImageMagick; then on
# PHOTO_COUNT (default 12) photographs of 24 megapixels through a lens profile against decoding
# plus encoding alone, vips and ImageMagick.
bench-cli: build
	bench/cli/throughput.sh $(BUILD)

# Gain mode against the additive modes on real photographs with a lens's falloff.
bench-quality: build
	bench/quality/quality.sh $(BUILD)

# Every fuzz target for FUZZ_SECONDS (default 60) under the sanitizers.
FUZZ_SECONDS ?= 60
fuzz: setup
	scripts/fuzz $(FUZZ_SECONDS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

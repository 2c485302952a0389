# Entry points for a fresh Debian machine: `make run` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: deps configure build run test bench bench-build bench-strip bench-intake fuzz format clean install package

deps:
	@./scripts/setup-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCLEFTONE_WERROR=ON >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@BUILD_DIR=$(BUILD_DIR) ./scripts/run.sh

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Benchmarks measure an optimised build tree of their own. The strip benchmark's defaults
# finish in a few minutes; the full sizes: make bench BENCH_STRIP_ARGS="--size-mb 200
# --small-count 1000" (cleftone-bench-strip --help lists its options).
BENCH_BUILD_DIR ?= build-release
BENCH_STRIP_ARGS ?=

bench-build: deps
	@cmake -S . -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DCLEFTONE_WERROR=ON >/dev/null
	@cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target cleftone-bench-engine \
		cleftone-bench-strip cleftone-bench-intake

bench: bench-build
	@$(BENCH_BUILD_DIR)/bench/cleftone-bench-engine
	@$(BENCH_BUILD_DIR)/bench/cleftone-bench-strip $(BENCH_STRIP_ARGS)
	@$(BENCH_BUILD_DIR)/bench/cleftone-bench-intake

bench-strip: bench-build
	@$(BENCH_BUILD_DIR)/bench/cleftone-bench-strip $(BENCH_STRIP_ARGS)

bench-intake: bench-build
	@$(BENCH_BUILD_DIR)/bench/cleftone-bench-intake

# DESTDIR=/some/stage is honoured for staged installs.
install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# A Debian package (cleftone_<version>-1_<arch>.deb) in $(BUILD_DIR).
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD_DIR)

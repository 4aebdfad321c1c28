# Front door: `make run` and `make test` work on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS      ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DQUARLO_WERROR=ON
endif

.PHONY: all deps build test run package bench fuzz sanitize clean

all: build

deps:
	@bash scripts/deps.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600; status=$$?; \
	  bash $(CURDIR)/scripts/skipped.sh .; exit $$status
	@bash scripts/fuzz.sh $(FUZZ_TEST_SECONDS)

# What `make run` starts or lays out, not the tests and benchmarks: a first run builds only these.
RUN_TARGETS = QuarloClient QuarloCentral Quarlo Quarlo_Cmd qv_hostednetwork quarlo_dbinit \
  sc net taskkill reg quarlo_app_icons quarlo-phone quarlo_update_install

run: deps $(BUILD_DIR)/build.ninja
	@echo "Building the programs make run starts ($(RUN_TARGETS)); a first build takes some minutes."
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(RUN_TARGETS)
	@bash scripts/run.sh $(BUILD_DIR)

# The Debian package of the programs: $(BUILD_DIR)/package/quarlo_<version>_amd64.deb
package: deps build
	cd $(BUILD_DIR) && cpack -G DEB -B package

# Each fuzz target runs this many seconds in `make test`, and FUZZ_SECONDS in `make fuzz`.
FUZZ_TEST_SECONDS ?= 5
FUZZ_SECONDS ?= 120

fuzz: deps
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

# The storm tests against AddressSanitizer and ThreadSanitizer builds (build-asan, build-tsan).
sanitize: deps
	@bash scripts/sanitize.sh

bench: deps build
	@bash bench/run.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) build-fuzz build-asan build-tsan

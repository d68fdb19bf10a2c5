# The whole set-up: `make run` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test bench fuzz format install package clean

all: build

deps:
	@scripts/install-deps

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: $(BUILD_DIR)/CMakeCache.txt

build: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/stage/bin/corvane

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks
	bench/run-all $(BUILD_DIR)

# libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, built with
# clang in its own folder; each target runs FUZZ_SECONDS from its seeds and
# regressions. New findings are kept in $(FUZZ_DIR)/crashes/.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = description topology zonegroupstate ssdp settings config

fuzz:
	@scripts/install-deps fuzz
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=clang++ -DCORVANE_FUZZ=ON \
		-DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	@status=0; for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/crashes/$$t; \
		echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
		$(FUZZ_DIR)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_DIR)/crashes/$$t/ \
			$(FUZZ_DIR)/corpus/$$t $$(sed 's/;/ /g' $(FUZZ_DIR)/fuzz/$$t.seeds) || status=1; \
	done; exit $$status

format:
	cmake --build $(BUILD_DIR) --target format

# PREFIX=/opt/corvane installs elsewhere than /usr/local; DESTDIR stages.
install: build
	cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix $(PREFIX))

package: build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR)

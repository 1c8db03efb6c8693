# Front door: `make demo`, `make test`, `make run`, `make bench`.
CONFIG    ?= RelWithDebInfo
BUILD_DIR ?= build/$(CONFIG)
JOBS      ?= $(shell nproc)
CTEST_ARGS ?=

# CI treats every warning as an error.
ifeq ($(CI),true)
WERROR := ON
else
WERROR ?= OFF
endif

.PHONY: all deps configure build test demo run bench clean

all: build

deps:
	@bash tools/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(CONFIG) -DORVEXA_WERROR=$(WERROR)

configure: deps $(BUILD_DIR)/CMakeCache.txt
	@cmake -S . -B $(BUILD_DIR) -DORVEXA_WERROR=$(WERROR) > /dev/null

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

demo: build
	@bash examples/demo.sh $(BUILD_DIR)

run: build
	$(BUILD_DIR)/src/app/orvexa

bench: build
	@bash bench/run.sh $(BUILD_DIR)

clean:
	rm -rf build

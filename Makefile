# Front door: `make demo`, `make test`, `make run`, `make bench`.
CONFIG    ?= RelWithDebInfo
BUILD_DIR ?= build/$(CONFIG)
JOBS      ?= $(shell nproc)
CTEST_ARGS ?=

# Sanitizer builds (cmake/OrvexaSanitizers.cmake): CONFIG=asan checks every
# test with AddressSanitizer and UndefinedBehaviorSanitizer, CONFIG=tsan the
# engine's and the sandbox's tests with ThreadSanitizer. Any report fails the
# test that met it; cmake/sanitizers holds the suppressions for libraries
# that are not built here.
SANITIZER_SUPP := $(CURDIR)/cmake/sanitizers
ifeq ($(CONFIG),asan)
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=$(SANITIZER_SUPP)/ubsan.supp \
	LSAN_OPTIONS=suppressions=$(SANITIZER_SUPP)/lsan.supp:print_suppressions=0
endif
ifeq ($(CONFIG),tsan)
SANITIZER_ENV := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(SANITIZER_SUPP)/tsan.supp
TEST_SELECTION := -L '^(engine|sandbox)$$'
BUILD_TARGETS := --target tests_engine tests_sandbox
endif

# CI treats every warning of the normal build as an error; the sanitizer
# builds are there for what happens at run time.
ifeq ($(CI)$(SANITIZER_ENV),true)
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
	cmake --build $(BUILD_DIR) -j $(JOBS) $(BUILD_TARGETS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS) $(TEST_SELECTION) $(CTEST_ARGS)

demo: build
	@bash examples/demo.sh $(BUILD_DIR)

run: build
	$(BUILD_DIR)/src/app/orvexa

bench: build
	@bash bench/run.sh $(BUILD_DIR)

clean:
	rm -rf build

# Fuzzing: the libFuzzer targets, built with clang in a folder of their own,
# each run for FUZZ_SECONDS; prints executions and crashes per target.
FUZZ_SECONDS ?= 600
FUZZ_DIR     ?= build/fuzz
FUZZ_TARGETS ?= script_split xml_list binary_list tds_packets

.PHONY: fuzz
fuzz: deps
	@bash tests/fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

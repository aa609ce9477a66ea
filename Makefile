# make run  - install what is missing, build, start the server on ./data
# make test - install what is missing, build, run every test
BUILD ?= build
DATA ?= $(CURDIR)/data
PORT ?= 4430
JOBS ?= $(shell nproc)

.PHONY: all deps build run test sanitize-test format format-check clean

all: build

deps:
	@./scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja >/dev/null
	@ninja -C $(BUILD)

run: build
	@mkdir -p $(DATA)
	@if [ -z "$$KESTRIX_ADMIN_PASSWORD" ]; then \
	    echo "KESTRIX_ADMIN_PASSWORD is not set: a new settings file gets user admin with password admin."; \
	fi
	@echo "Data folder: $(DATA) (settings: $(DATA)/kestrix.settings, databases: $(DATA)/databases)"
	@echo "Listening on 127.0.0.1:$(PORT). Connect with:"
	@echo "    $(BUILD)/kestrix-cli -h 127.0.0.1 -p $(PORT) -u admin"
	@echo "(it asks for the password: admin unless KESTRIX_ADMIN_PASSWORD was set when the settings file was made)"
	@KESTRIX_ADMIN_PASSWORD="$${KESTRIX_ADMIN_PASSWORD:-admin}" exec $(BUILD)/kestrix \
	    -x $(DATA) -s $(DATA)/kestrix.settings -d $(DATA)/databases -p $(PORT)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-test: deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_SANITIZE=ON >/dev/null
	@ninja -C build-asan
	@cd build-asan && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS)

format:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	@rm -rf $(BUILD) build-asan

# The two commands of the README: `make run` catalogues examples/, `make test` builds every
# target and runs every test. Both install what the machine lacks first.
JOBS ?= $(shell nproc)

.PHONY: run test deps linux linux-asan fuzz-build test-linux test-linux-asan test-fuzz fuzz package clean

FUZZ_SECONDS ?= 20

deps:
	@bash scripts/install-deps

linux: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS)

linux-asan: deps
	cmake --preset linux-asan >/dev/null
	cmake --build --preset linux-asan -j $(JOBS)

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

run: linux
	rm -f examples.txt
	build/linux/bin/tallybook examples
	@echo "--- examples.txt ---"
	@cat examples.txt

test-linux: linux
	ctest --preset linux -j $(JOBS)

test-linux-asan: linux-asan
	ctest --preset linux-asan -j $(JOBS)

# A bounded run of every fuzz target; `make fuzz` runs them for minutes each before a release.
test-fuzz: fuzz-build
	tests/fuzz/run-fuzzers build/fuzz $(FUZZ_SECONDS)

fuzz: fuzz-build
	tests/fuzz/run-fuzzers build/fuzz 300

test: test-linux test-linux-asan test-fuzz

# A Debian package of the Linux program and its archiver libraries, in build/linux.
package: linux
	cd build/linux && cpack -G DEB >/dev/null && ls -1 $$PWD/*.deb

clean:
	rm -rf build examples.txt

# The two commands of the README: `make run` catalogues examples/, `make test` builds every
# target and runs every test. Both install what the machine lacks first.
JOBS ?= $(shell nproc)

.PHONY: run test deps linux linux-asan linux-tsan fuzz-build test-linux test-linux-asan \
        test-linux-tsan test-fuzz fuzz package clean \
        windows wine-prefix test-windows test-windows-exe package-windows

FUZZ_SECONDS ?= 20

deps:
	@bash scripts/install-deps

linux: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS)

linux-asan: deps
	cmake --preset linux-asan >/dev/null
	cmake --build --preset linux-asan -j $(JOBS)

# The walk's threads, the libarchive worker and the program under ThreadSanitizer.
linux-tsan: deps
	cmake --preset linux-tsan >/dev/null
	cmake --build --preset linux-tsan -j $(JOBS)

# The 32-bit Windows program, cross-built; its tests run under Wine in a prefix made once.
windows: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

wine-prefix: deps
	@bash scripts/install-deps --wine-prefix

# The built .exe read back as a file: quick, and part of `make test`.
test-windows-exe: windows
	ctest --preset windows -L exe

# Everything under Wine, in one display and Wine server, as far as this machine can build the
# Windows program and run it (scripts/test-windows says what it could not). The Linux program
# is built too, for the test that holds the two programs' listings side by side.
test-windows: linux
	@JOBS=$(JOBS) bash scripts/test-windows

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

# Only the program, its archiver libraries and its messages, with only what they need installed
# and the tests left out of the configuration: the tests wait for `make test`.
run:
	@bash scripts/install-deps --run
	cmake --preset linux -DTALLYBOOK_TESTS=OFF >/dev/null
	cmake --build --preset linux -j $(JOBS) --target program
	rm -f examples.txt
	build/linux/bin/tallybook examples
	@echo "--- examples.txt ---"
	@cat examples.txt

test-linux: linux
	ctest --preset linux -j $(JOBS)

test-linux-asan: linux-asan
	ctest --preset linux-asan -j $(JOBS)

test-linux-tsan: linux-tsan
	ctest --preset linux-tsan -j $(JOBS)

# A bounded run of every fuzz target; `make fuzz` runs them for minutes each before a release.
test-fuzz: fuzz-build
	tests/fuzz/run-fuzzers build/fuzz $(FUZZ_SECONDS)

fuzz: fuzz-build
	tests/fuzz/run-fuzzers build/fuzz 300

test: test-linux test-linux-asan test-linux-tsan test-fuzz test-windows

# A Debian package of the Linux program and its archiver libraries, in build/linux.
package: linux
	cd build/linux && cpack -G DEB >/dev/null && ls -1 $$PWD/*.deb

# The Windows program, its archiver libraries and a Japanese/English read-me, in one zip.
package-windows: windows
	scripts/package-windows build/windows

clean:
	rm -rf build examples.txt

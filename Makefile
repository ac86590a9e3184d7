# make run ARGS="..."   build and start the program
# make test             build, then run every test, and every test again under ASan and UBSan
# make package          build the Debian package (build/talkcircle_*.deb) and check it with lintian
# The sound server (PulseAudio with ALSA's plugin) is for the test of a call through real sound
# devices; dpkg-dev, file and lintian build and check the package; the validators check its files.
PACKAGES := g++ cmake ninja-build pkg-config qt6-base-dev portaudio19-dev libsndfile1-dev \
            libgtest-dev libgmock-dev libbenchmark-dev libedit-dev clang libclang-rt-14-dev \
            sox xvfb xauth espeak-ng pulseaudio pulseaudio-utils libasound2-plugins \
            dpkg-dev file lintian desktop-file-utils appstream man-db
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS ?= 2
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build run test test-asan tsan bench fuzz format screenshot package clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/src/app/talkcircle $(ARGS)

test: build test-asan
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 300

# Unit and integration tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DTC_SANITIZE=address,undefined -DTC_WITH_BENCH=OFF -DTC_WITH_QT=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 300

# Every test under ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DTC_SANITIZE=thread -DTC_WITH_BENCH=OFF -DTC_WITH_QT=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) --timeout 600

package: build
	rm -f $(BUILD)/talkcircle_*.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/talkcircle_*.deb

bench: build
	for b in $(BUILD)/bench/*_bench; do $$b; done

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DCMAKE_CXX_COMPILER=clang++ -DTC_WITH_FUZZ=ON \
	  -DTC_WITH_QT=OFF -DTC_WITH_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

screenshot: build
	./scripts/screenshot.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

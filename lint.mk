# Static analysis, included by the top-level Makefile.
#
#   make lint            clang-tidy (checks in .clang-tidy), then cppcheck;
#                        fails on any finding of either
#   make lint-tidy       clang-tidy only
#   make lint-cppcheck   cppcheck only
#
# Needs clang-tidy-14 (with run-clang-tidy-14) and cppcheck. clang-tidy
# reads the compile commands of a Debug tree in build-lint/ that is only
# configured, never built: no generated file is needed. It is configured
# again on every run so that new source files are picked up.
#
# A finding that is wrong for one line is silenced at that line, with the
# reason: `// NOLINT(check-name): why` for clang-tidy,
# `// cppcheck-suppress id` under a comment saying why for cppcheck.
LINT_BUILD ?= build-lint
LINT_JOBS ?= 2
RUN_CLANG_TIDY ?= run-clang-tidy-14
CLANG_TIDY ?= clang-tidy-14
CPPCHECK ?= cppcheck

# Unit and end-to-end tests (*_test.cc, tests/) get a lighter set on top of
# .clang-tidy:
#   clang-analyzer-*  its path exploration through the GoogleTest macros
#                     takes over a minute per test file (ten times the
#                     other checks; half an hour for all tests on two
#                     cores); the tests run under ASan and UBSan instead
#   performance-*     the speed of a test's own bookkeeping does not matter
#   cert-err33-c      tests ignore fclose of files they only read, fflush
#                     before redirecting, signal(SIG_IGN); where a result
#                     matters the test asserts on it
#   cert-err34-c      atoi/sscanf on numbers the programs under test or the
#                     kernel printed; a bad parse fails the test's own check
#   cert-msc32-c, cert-msc51-cpp
#                     random generators get a fixed seed on purpose, so that
#                     a failure repeats
#   bugprone-implicit-widening-of-multiplication-result
#                     offsets and sizes of small fixtures, far below 2^31
#   bugprone-not-null-terminated-result
#                     tests fill byte buffers (not C strings) from literals
LINT_TEST_FILES = _test\.cc$$|/tests/
LINT_TEST_CHECKS = -clang-analyzer-*,-performance-*,-cert-err33-c,-cert-err34-c,-cert-msc32-c,-cert-msc51-cpp,-bugprone-implicit-widening-of-multiplication-result,-bugprone-not-null-terminated-result

# cppcheck over the sources themselves (no compile database: the include
# path is the tree, every preprocessor configuration is checked) with the
# configurations of the libraries the code uses. Suppressed everywhere:
#   missingIncludeSystem  system headers are not given to cppcheck; their
#                         library configurations stand in for them
#   readdirCalled         readdir_r is deprecated (glibc); readdir on a
#                         stream of the caller's own is thread-safe
# and in tests:
#   resourceLeak          a descriptor is left open only when an ASSERT_*
#                         ends the test early (also when it asserts that
#                         the descriptor is valid, which cppcheck does not
#                         follow); the test program's exit closes it
LINT_CPPCHECK_DIRS := core codec store journal query server clients tools tests bench fuzz
LINT_CPPCHECK_FLAGS := --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
  --std=c++20 --quiet -I. --library=googletest,posix,openssl \
  --suppress=missingIncludeSystem --suppress=readdirCalled --suppress='resourceLeak:*_test.cc'

# The programs and libraries with the full set, then the tests with the
# lighter one. fuzz/ is not in this tree's compile commands (it is a project
# of its own, built only with clang and libFuzzer): its harnesses are test
# code, checked by cppcheck, and the libraries they drive are checked here.
LINT_TIDY = \
  $(RUN_CLANG_TIDY) -clang-tidy-binary $(CLANG_TIDY) -p $(LINT_BUILD) -quiet -j $(LINT_JOBS) \
    '^(?!.*($(LINT_TEST_FILES)))' || status=1; \
  $(RUN_CLANG_TIDY) -clang-tidy-binary $(CLANG_TIDY) -p $(LINT_BUILD) -quiet -j $(LINT_JOBS) \
    -checks='$(LINT_TEST_CHECKS)' '$(LINT_TEST_FILES)' || status=1;
LINT_CPPCHECK = $(CPPCHECK) $(LINT_CPPCHECK_FLAGS) -j $(LINT_JOBS) $(LINT_CPPCHECK_DIRS) || status=1;

.PHONY: lint lint-tidy lint-cppcheck lint-configure

# Every run happens even when an earlier one found something, so that one
# `make lint` lists all findings; any finding fails the target.
lint: lint-configure
	@status=0; $(LINT_TIDY) $(LINT_CPPCHECK) \
	if [ $$status -ne 0 ]; then echo "lint: findings above"; fi; exit $$status

lint-tidy: lint-configure
	@status=0; $(LINT_TIDY) exit $$status

lint-cppcheck:
	@status=0; $(LINT_CPPCHECK) exit $$status

lint-configure:
	cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# `make bench`: ferrowyn against OpenLDAP's slapd on the same generated
# directory of N people (see bench/README.md). Installs slapd with apt-get
# when it is missing (as root). Included by the top-level Makefile.
N ?= 100000
DURATION ?= 5

.PHONY: bench
bench: build
	N=$(N) DURATION=$(DURATION) BIN=build/bin bash bench/run_bench.sh

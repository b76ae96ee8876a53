// The precompiled header of the test suites is built with this file.

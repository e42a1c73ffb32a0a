#pragma once
// Counts every heap allocation made through the C++ allocation functions of the benchmark's
// executable (AllocationCounter.cpp replaces them).
long long AllocationCount();

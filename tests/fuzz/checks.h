// Entry points of the fuzzers' checks: an empty text when every check holds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

std::string FuzzCheckRun(const uint8_t* data, size_t size);
std::string FuzzCheckCli(const uint8_t* data, size_t size);
std::string FuzzCheckDate(const uint8_t* data, size_t size);
std::string FuzzCheckFields(const uint8_t* data, size_t size);
std::string FuzzCheckTransform(const uint8_t* data, size_t size);

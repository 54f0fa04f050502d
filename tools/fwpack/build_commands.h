// korvex-fwpack build-single and build-multi: packages from raw images and parts, refusing any
// input the program would refuse the package for.
#pragma once

#include <string>
#include <vector>

struct SingleImageOptions {
  std::string productCode;  // 10 characters
  std::string imagePath;
  std::string outputPath;
  size_t blockSize = 1048576;  // raw bytes per block, 1 to 4,194,304
  int level = 9;
};

struct PartOption {
  unsigned delaySeconds;  // 1 to 120
  std::string path;
};

struct MultiPartOptions {
  std::string productCode;      // 10 characters
  std::string requiredVersion;  // 7 characters; empty for the wildcard
  std::string deviceId;         // 8 upper-case hexadecimal digits: vendor id, product id
  std::vector<PartOption> parts;  // 0 to 9
  std::string outputPath;
};

// Each writes the package and returns 0, or explains on stderr and returns 1, leaving no new
// file and an existing output file as it was. The output may not be one of the inputs.
int BuildSingleImage(const SingleImageOptions &options);
int BuildMultiPart(const MultiPartOptions &options);

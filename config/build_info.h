// What this build is: the program version and the git commit its sources
// came from ("unknown" for a build outside git, with "-dirty" added for
// sources changed since that commit). Fixed when the build is made
// (cmake/build_info.cmake); read by --version and the admin channel's
// status. Constants: any thread.
#ifndef CONFIG_BUILD_INFO_H_
#define CONFIG_BUILD_INFO_H_

namespace config {

extern const char kProgramVersion[];
extern const char kBuildCommit[];

}  // namespace config

#endif  // CONFIG_BUILD_INFO_H_

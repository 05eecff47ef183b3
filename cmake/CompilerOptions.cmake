# Warnings everywhere, as errors only when VANTACLE_WERROR is on (CI turns
# it on); sanitizers when VANTACLE_SANITIZE is on.
option(VANTACLE_WERROR "Treat compiler warnings as errors" OFF)
option(VANTACLE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_library(vantacle_options INTERFACE)
target_compile_features(vantacle_options INTERFACE cxx_std_20)
target_compile_options(vantacle_options INTERFACE -Wall -Wextra)
target_include_directories(vantacle_options INTERFACE ${PROJECT_SOURCE_DIR})

if(VANTACLE_WERROR)
  target_compile_options(vantacle_options INTERFACE -Werror)
endif()

# The simulated card runs every port access through its model: a sanitized
# build optimises a little, so that whole-card runs stay within the tests'
# time. g++ 12 then takes std::function inside std::regex for uninitialised
# under the sanitizers, wrongly.
if(VANTACLE_SANITIZE)
  target_compile_options(vantacle_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all
                                                    -fno-omit-frame-pointer -O1 -Wno-maybe-uninitialized)
  target_link_options(vantacle_options INTERFACE -fsanitize=address,undefined)
endif()

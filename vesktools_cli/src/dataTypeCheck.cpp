// The data type option check of the receiving programs.

#include <fmt/format.h>
#include <iostream>
#include <ketra/fnd/datatype/DataType.hpp>
#include <vesktools_cli/Startup.hpp>

namespace ketra::vesktools::cli {

std::function<void(const boost::program_options::variables_map&, const boost::program_options::options_description&)>
DataTypeCheck(std::string option_name) {
  return [option_name = std::move(option_name)](const boost::program_options::variables_map& variables,
                                                const boost::program_options::options_description& description) {
    const auto text = variables[option_name].as<std::string>();
    if (ketra::fnd::datatype::GetDataType(text, true) == ketra::fnd::datatype::Invalid) {
      std::cout << description << std::endl;
      throw std::runtime_error(fmt::format("Invalid data_type: {}", text));
    }
  };
}

}  // namespace ketra::vesktools::cli

// The text of MNIST_MLP_DISTORTION and back (see distortion_parameters.h).
#include "distortion/distortion_parameters.h"

#include <sstream>

#include "io/decimal_text.h"

namespace {

struct Parameter {
  const char* name;
  double DistortionParameters::*field;
  double lowest;  // allowed from here (or above it, when lowestExcluded)
  bool lowestExcluded;
  double highest;
  bool elasticOnly;
};

const Parameter kParameters[] = {
    {"alpha", &DistortionParameters::alpha, 0.0, false, kMaxAlpha, true},
    {"sigma", &DistortionParameters::sigma, 0.0, true, kMaxSigma, true},
    {"rotate", &DistortionParameters::rotate, 0.0, false, kMaxRotateDegrees, false},
    {"scale", &DistortionParameters::scale, 0.0, false, kMaxScalePercent, false},
    {"shear", &DistortionParameters::shear, 0.0, false, kMaxShearDegrees, false},
};

std::optional<DistortionKind> ParseKind(std::string_view text) {
  if (text == "none") return DistortionKind::None;
  if (text == "affine") return DistortionKind::Affine;
  if (text == "elastic") return DistortionKind::Elastic;
  return std::nullopt;
}

// One name=value pair into *parameters; false when it is not one of the kind's parameters
// with a value in its range, or was given before (seen holds a bit per parameter).
bool ParseAssignment(std::string_view assignment, DistortionParameters* parameters, unsigned* seen) {
  const size_t equals = assignment.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view name = assignment.substr(0, equals);
  for (unsigned p = 0; p < std::size(kParameters); ++p) {
    const Parameter& parameter = kParameters[p];
    if (name != parameter.name) continue;
    if ((*seen & (1u << p)) != 0) return false;
    if (parameter.elasticOnly && parameters->kind != DistortionKind::Elastic) return false;
    const std::optional<double> value = ParseDecimalNumber(assignment.substr(equals + 1));
    if (!value || *value < parameter.lowest || (parameter.lowestExcluded && *value == parameter.lowest) ||
        *value > parameter.highest)
      return false;
    parameters->*parameter.field = *value;
    *seen |= 1u << p;
    return true;
  }
  return false;
}

// The shortest text of at most 17 significant digits that reads back as the same value.
std::string RoundTripText(double value) {
  for (int digits = 6;; ++digits) {
    std::ostringstream text;
    text.precision(digits);
    text << value;
    if (digits == 17 || ParseDecimalNumber(text.str()) == value) return text.str();
  }
}

}  // namespace

std::optional<DistortionParameters> ParseDistortion(std::string_view text) {
  const size_t colon = text.find(':');
  DistortionParameters parameters;
  const std::optional<DistortionKind> kind = ParseKind(text.substr(0, colon));
  if (!kind) return std::nullopt;
  parameters.kind = *kind;
  if (colon == std::string_view::npos) return parameters;
  if (parameters.kind == DistortionKind::None) return std::nullopt;
  unsigned seen = 0;
  for (size_t start = colon + 1;;) {
    const size_t comma = std::min(text.find(',', start), text.size());
    if (!ParseAssignment(text.substr(start, comma - start), &parameters, &seen)) return std::nullopt;
    if (comma == text.size()) return parameters;
    start = comma + 1;
  }
}

std::string DistortionText(const DistortionParameters& parameters) {
  if (parameters.kind == DistortionKind::None) return "none";
  std::ostringstream text;
  text << (parameters.kind == DistortionKind::Affine ? "affine" : "elastic");
  char separator = ':';
  for (const Parameter& parameter : kParameters) {
    if (parameter.elasticOnly && parameters.kind != DistortionKind::Elastic) continue;
    text << separator << parameter.name << '=' << RoundTripText(parameters.*parameter.field);
    separator = ',';
  }
  return text.str();
}

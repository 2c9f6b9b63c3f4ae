# Writes the scenario file INPUT as the body of DefaultScenarioText() into OUTPUT.
file(READ ${INPUT} XOL_TEXT)
file(WRITE ${OUTPUT}
"// Generated from scenarios/demo.json; edit that file instead.
#include \"scenario.h\"

namespace xolsim {

std::string_view DefaultScenarioText() {
    return R\"xolsim_scenario(${XOL_TEXT})xolsim_scenario\";
}

} // namespace xolsim
")

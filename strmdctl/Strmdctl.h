// strmdctl: the operator's companion program to strmd. Each subcommand lives
// in a file of its own and gets the arguments after its name.
#pragma once

// `strmdctl status [--watch [SECONDS] | --json | --prometheus]`
int StrmdctlStatus(int argc, char** argv);
// `strmdctl repair FILE...`
int StrmdctlRepair(int argc, char** argv);
// `strmdctl check FILE`
int StrmdctlCheck(int argc, char** argv);

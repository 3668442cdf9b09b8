// Application state shared by several modules (user-interface thread unless noted).
#pragma once

#include <cstdint>
#include <cstdio>

#include "device/BoardRecords.h"

constexpr int TITLE_SIZE = 128;
constexpr int GAS_TEXT_SIZE = 128;
constexpr int GAS_INFO_SIZE = 256;
constexpr int IGNORE_RESULT_SIZE = 256;
constexpr int FLOW_FORMAT_SIZE = 128;
constexpr int TOTALIZER_FORMAT_SIZE = 100;

// Board records: the worker writes NewFlowReadings and TempSystemState; the user-interface
// thread copies TempSystemState into SystemState on the state reply.
extern NewFlowReadingsRec NewFlowReadings;
extern SystemStateRec SystemState;
extern SystemStateRec TempSystemState;

extern uint32_t ProductConfig;
extern int ThisIsController;
extern int CurrentActiveGas;
extern float FullScaleFlow;
extern float GasTimeFactor;
extern char GasUnits[GAS_TEXT_SIZE];
extern char GasSymbol[GAS_TEXT_SIZE];
extern char GasInfo[GAS_INFO_SIZE];
extern char FlowFormatBuff[FLOW_FORMAT_SIZE];
extern int NumFlowDecimalPlaces;
extern char TotalizerFormatBuff[TOTALIZER_FORMAT_SIZE];
extern int NumTotalizerDecimalPlaces;
extern int ShowFlowDisplayInUnits;
extern int SetPointDlgActive;
extern int PidAdjDlgActive;
extern float Proportional;
extern float Integral;
extern float Derivative;
extern uint32_t ValveCracking;
extern uint32_t ValveCrackingValMax;
extern uint32_t SerialPortErrors;
extern char WindowTitle[TITLE_SIZE];
extern char CommentField[TITLE_SIZE];
extern char IgnoreResult[IGNORE_RESULT_SIZE];
extern const char* AppName;

// Flow log state.
extern FILE* LogFile;
extern int LoggingActive;
extern int LoggingIntervalInMsec;
extern int NumLogFileSamples;

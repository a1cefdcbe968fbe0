@echo off
rem The Windows bundle: the seam's contract suite against the Win32 adapter, the executable's own
rem end-to-end cases and the probes that only a real machine can answer, run on this machine. Run
rem it from an elevated prompt; it writes report.txt beside itself and shows it. Nothing it makes
rem outlives it: each program works in a private scratch folder of its own under C:\ and removes
rem it, and the end-to-end cases remove the service and folder they install.
setlocal
pushd "%~dp0"
set "REPORT=%~dp0report.txt"
>"%REPORT%" echo orvex bundle report
rem fltmc answers only an elevated caller; net session too, where the Server service runs.
set ELEVATED=0
fltmc >nul 2>&1 && set ELEVATED=1
if "%ELEVATED%"=="0" net session >nul 2>&1 && set ELEVATED=1
if "%ELEVATED%"=="1" (>>"%REPORT%" echo account: elevated) else (>>"%REPORT%" echo account: NOT ELEVATED; run this from an elevated prompt)
>>"%REPORT%" echo.
>>"%REPORT%" echo == contract suite
orvex_contract_tests.exe --gtest_brief=1 >>"%REPORT%" 2>&1
set CONTRACT=%ERRORLEVEL%
>>"%REPORT%" echo contract status: %CONTRACT%
>>"%REPORT%" echo.
>>"%REPORT%" echo == end-to-end cases of the executable
orvex_bundle_e2e.exe >>"%REPORT%" 2>&1
set E2E=%ERRORLEVEL%
>>"%REPORT%" echo e2e status: %E2E%
>>"%REPORT%" echo.
>>"%REPORT%" echo == probes
orvex_windows_probes.exe >>"%REPORT%" 2>&1
set PROBES=%ERRORLEVEL%
>>"%REPORT%" echo probes status: %PROBES%
type "%REPORT%"
popd
if not "%ELEVATED%"=="1" exit /b 1
if not "%CONTRACT%"=="0" exit /b 1
if not "%E2E%"=="0" exit /b 1
if not "%PROBES%"=="0" exit /b 1
exit /b 0

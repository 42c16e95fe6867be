-- Shipped rows of MonitorData, shared by SQLite, PostgreSQL and SQL Server:
-- the parameter set of a repeater, its units and scale factors, the flag and
-- error names, the equipment types and the default settings.
-- Plain inserts with column lists and quoted text only, so the same lines
-- run on every database kind. One statement per line.
--
-- Formats the program relies on:
--   Name columns (all but ProportionalName) hold the display text after "&".
--   ParamProperty: ParamType and ParamUnit two hex digits, CanSet "01" when
--     settable, ParamCode four upper-case hex digits, high byte first.
--   MapCommFlag, ResponseFlag: KeyNum two upper-case hex digits as in frames.
--   EquipmentType, CodeName: KeyNum decimal.
--   UnitName, ProportionalName: Code two hex digits; a unit code above 60
--     scales the value by the ProportionalName factor.

-- Settings. HandPackFlagNumber and CirclePackFlagNumber are written by the
-- program at exit; they are absent here on purpose.
insert into NormalParam (SetItem, SetValue) values ('SoftWareNameEnglish', 'Repeater Network Management Server');
insert into NormalParam (SetItem, SetValue) values ('SoftWareVerNumber', 'V1.0.0');
insert into NormalParam (SetItem, SetValue) values ('ShowInfoHint', '1');
insert into NormalParam (SetItem, SetValue) values ('MaxPackageLen', '2049');
insert into NormalParam (SetItem, SetValue) values ('HistoryQuerySaveDay', '30');
insert into NormalParam (SetItem, SetValue) values ('HistoryAlarmSaveDay', '30');
insert into NormalParam (SetItem, SetValue) values ('RegisterEmptyEquipmentHour', '72');
insert into NormalParam (SetItem, SetValue) values ('EmailPassword', '');

-- Parameters: equipment identity and management.
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('21', '00', '00', '20', '0002', 'Manufacturer&Manufacturer');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('30', '00', '00', '1', '0003', 'Type&Equipment Type');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('21', '00', '00', '20', '0004', 'Model&Equipment Model');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('21', '00', '00', '20', '0005', 'SerialNo&Serial Number');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('00', '00', '00', '0', '0009', 'ParamList&Parameter List');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('21', '00', '00', '20', '000A', 'SoftVer&Software Version');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('21', '00', '01', '20', '0022', 'Code&Equipment Code');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('10', '00', '01', '4', '0101', 'StationNo&Station Number');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('12', '00', '01', '1', '0102', 'EquipmentNo&Equipment Number');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('23', '00', '01', '4', '0110', 'CenterIP&Monitor Center IP Address');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('16', '00', '01', '2', '0111', 'CenterPort&Monitor Center Port');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('16', '05', '01', '2', '0120', 'Heartbeat&Heartbeat Interval');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('31', '00', '00', '1', '0141', 'ReportType&Report Type');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('22', '00', '01', '7', '0150', 'DeviceTime&Device Time');

-- Parameters: alarm enables.
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('02', '00', '01', '1', '0201', 'PowerFailEn&Power Failure Alarm Enable');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('02', '00', '01', '1', '0204', 'OverTempEn&Over-Temperature Alarm Enable');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('02', '00', '01', '1', '0213', 'VswrEn&Downlink VSWR Alarm Enable');

-- Parameters: alarm states.
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0301', 'PowerFail&Power Failure Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0302', 'PowerModule&Power Module Failure Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0304', 'OverTemp&Over-Temperature Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0305', 'DoorOpen&Door Open Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0310', 'DlInOver&Downlink Input Overpower Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0311', 'DlOutOver&Downlink Output Overpower Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0312', 'DlOutUnder&Downlink Output Underpower Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0313', 'DlVswr&Downlink VSWR Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0320', 'UlLna&Uplink LNA Failure Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0321', 'DlLna&Downlink LNA Failure Alarm');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('03', '00', '00', '1', '0330', 'SelfOsc&Self-Oscillation Alarm');

-- Parameters: settings.
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('01', '00', '01', '1', '0401', 'RfSwitch&RF Switch');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('12', '02', '01', '1', '0402', 'UlAtt&Uplink Attenuation');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('12', '02', '01', '1', '0403', 'DlAtt&Downlink Attenuation');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('11', '03', '01', '1', '0410', 'TempLimit&Over-Temperature Threshold');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('14', '61', '01', '2', '0411', 'DlOutLimit&Downlink Output Power Upper Limit');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('31', '00', '01', '1', '0420', 'WorkMode&Working Mode');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('31', '00', '01', '1', '0421', 'Bandwidth&Channel Bandwidth');

-- Parameters: measured values.
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('11', '03', '00', '1', '0501', 'Temperature&Equipment Temperature');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('71', '01', '00', '4', '0502', 'DlOutPower&Downlink Output Power');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('14', '61', '00', '2', '0503', 'DlInPower&Downlink Input Power');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('14', '62', '00', '2', '0504', 'UlGain&Uplink Gain');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('14', '62', '00', '2', '0505', 'DlGain&Downlink Gain');
insert into ParamProperty (ParamType, ParamUnit, CanSet, Len, ParamCode, Name) values ('16', '63', '00', '2', '0506', 'Voltage&Supply Voltage');

-- Enumeration values (rows of one Code need not be adjacent).
insert into CodeName (Code, KeyNum, Name) values ('0141', '1', 'Alarm&Alarm Report');
insert into CodeName (Code, KeyNum, Name) values ('0141', '2', 'Start&Start Report');
insert into CodeName (Code, KeyNum, Name) values ('0141', '3', 'Periodic&Periodic Report');
insert into CodeName (Code, KeyNum, Name) values ('0141', '4', 'Repair&Fault Repaired Report');
insert into CodeName (Code, KeyNum, Name) values ('0141', '5', 'Change&Configuration Change Report');
insert into CodeName (Code, KeyNum, Name) values ('0420', '0', 'Auto&Automatic');
insert into CodeName (Code, KeyNum, Name) values ('0421', '0', 'Bw5&5 MHz');
insert into CodeName (Code, KeyNum, Name) values ('0420', '1', 'Manual&Manual');
insert into CodeName (Code, KeyNum, Name) values ('0421', '1', 'Bw10&10 MHz');
insert into CodeName (Code, KeyNum, Name) values ('0420', '2', 'Saving&Energy Saving');
insert into CodeName (Code, KeyNum, Name) values ('0421', '2', 'Bw15&15 MHz');
insert into CodeName (Code, KeyNum, Name) values ('0421', '3', 'Bw20&20 MHz');

-- Units. Codes above 60 are scaled (see ProportionalName).
insert into UnitName (Code, Name) values ('01', 'dBm&dBm');
insert into UnitName (Code, Name) values ('02', 'dB&dB');
insert into UnitName (Code, Name) values ('03', 'Celsius&degC');
insert into UnitName (Code, Name) values ('04', 'Volt&V');
insert into UnitName (Code, Name) values ('05', 'Second&s');
insert into UnitName (Code, Name) values ('06', 'Megahertz&MHz');
insert into UnitName (Code, Name) values ('07', 'Percent&%');
insert into UnitName (Code, Name) values ('61', 'TenthdBm&dBm');
insert into UnitName (Code, Name) values ('62', 'TenthdB&dB');
insert into UnitName (Code, Name) values ('63', 'HundredthV&V');

-- Scale factors: the raw value divided by the factor is the shown value.
insert into ProportionalName (Code, Name) values ('61', '10');
insert into ProportionalName (Code, Name) values ('62', '10');
insert into ProportionalName (Code, Name) values ('63', '100');

-- Command flags of the application layer.
insert into MapCommFlag (KeyNum, Name) values ('01', 'Report&Alarm Report');
insert into MapCommFlag (KeyNum, Name) values ('02', 'Query&Query');
insert into MapCommFlag (KeyNum, Name) values ('03', 'Set&Set');
insert into MapCommFlag (KeyNum, Name) values ('10', 'Upgrade&Software Upgrade');
insert into MapCommFlag (KeyNum, Name) values ('EE', 'Heartbeat&Heartbeat');

-- Response flags.
insert into ResponseFlag (KeyNum, Name) values ('00', 'Success&Success');
insert into ResponseFlag (KeyNum, Name) values ('01', 'Partial&Partly Executed');
insert into ResponseFlag (KeyNum, Name) values ('02', 'CommandError&Command Number Error');
insert into ResponseFlag (KeyNum, Name) values ('03', 'LengthError&Command Length Error');
insert into ResponseFlag (KeyNum, Name) values ('04', 'CrcError&CRC Check Error');
insert into ResponseFlag (KeyNum, Name) values ('05', 'Busy&Equipment Busy');
insert into ResponseFlag (KeyNum, Name) values ('FF', 'Command&Command');

-- Communication errors.
insert into CommError (KeyNum, Name) values ('01', 'Timeout&Answer Timeout');
insert into CommError (KeyNum, Name) values ('02', 'Crc&CRC Check Error');
insert into CommError (KeyNum, Name) values ('03', 'Length&Frame Length Error');
insert into CommError (KeyNum, Name) values ('04', 'Flag&Frame Flag Error');
insert into CommError (KeyNum, Name) values ('05', 'Offline&Equipment Off Line');

-- Equipment types (KeyNum is the reported type byte in decimal).
insert into EquipmentType (KeyNum, Name) values ('1', 'Wideband&Wideband Repeater');
insert into EquipmentType (KeyNum, Name) values ('2', 'Selective&Band Selective Repeater');
insert into EquipmentType (KeyNum, Name) values ('3', 'Fiber&Fiber Optic Repeater');
insert into EquipmentType (KeyNum, Name) values ('4', 'Shift&Frequency Shift Repeater');
insert into EquipmentType (KeyNum, Name) values ('5', 'Trunk&Trunk Amplifier');
insert into EquipmentType (KeyNum, Name) values ('6', 'Indoor&Indoor Coverage Booster');

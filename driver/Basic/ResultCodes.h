// The result codes of the driver's replies, each named once. Hosts compare
// these texts byte for byte: never change one. Their descriptions are the
// GBK_* texts of GbkText.h; CDataProcess::initErrCodeMap pairs the two.
#pragma once

#define DCJ_RC_SUCCESS "ECPWS0000000"
#define DCJ_RC_UNKNOWN_ERROR "DRV0000001"
#define DCJ_RC_NETWORK_FAILED "ECPWSDCJ0002"
#define DCJ_RC_BAD_PARAMETER "ECPWSCOM0005"
#define DCJ_RC_NO_FSN_FILE "ECPWSDCJ0001"
#define DCJ_RC_DEVICE_NOT_FOUND "ECPWSCOM0008"
#define DCJ_RC_INVALID_OPERATION "ECPWSCOM0011"
#define DCJ_RC_HARDWARE_FAULT "ECPWSCOM0013"
// The device's own failures: this code, with a DRVDCJ code and its
// description in the description text.
#define DCJ_RC_DEVICE_ERROR "ECPWSCOM0001"
#define DCJ_RC_DEVICE_CMD_PARSE_ERROR "DRVDCJ1001"
#define DCJ_RC_RESPONSE_PACKET_ERROR "DRVDCJ1002"
#define DCJ_RC_RESPONSE_DATA_ERROR "DRVDCJ1003"
#define DCJ_RC_ZIP_FAILED "DRVDCJ1004"
#define DCJ_RC_HOST_BUFFER_SHORT "DRVDCJ1005"
#define DCJ_RC_RELATED_FILE_MISSING "DRVDCJ1006"
#define DCJ_RC_DEVICE_CLEAR_FAILED "DRVDCJ1007"
// doCommand's alone, for a reply that does not fit the caller's buffer.
#define DCJ_RC_OUT_BUFFER_TOO_SMALL "ECPWSCOM0009"

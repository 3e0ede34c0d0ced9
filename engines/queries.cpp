#include "engines/queries.h"

namespace veldon::queries {

namespace {

const char* const UnsentHeaderCondition =
    " Where PE_CK <> 0 AND IIf(IsNull(PE_SD), 0, PE_SD) <> 7 ";

}  // namespace

std::string restaurantHeaders(const std::string& dateFilter, bool withMemberCode) {
    return std::string(
               " SELECT PE.PE_ID as PE_ID,PE_DATE,IIF(ISNULL(CT_CODE) = TRUE,'',CT_CODE) AS "
               "CTCODE,") +
           " IIF(ISNULL(CT_NAME) = TRUE,'',CT_NAME) AS CTNAME,PE_AMT,PE_VAT,PE_TOT," +
           " SUM(IIF(AC_FNCD1 <> '111050' AND AC_FNCD1 <> '211060',0,IIF(AC_DC = "
           "'D',AC_AMT,AC_AMT * -1))) AS pMISU," +
           " SUM(IIF(AC_FNCD1 <> '111010',0,IIF(AC_DC = 'D',AC_AMT,AC_AMT * -1))) AS pCASH," +
           " SUM(IIF(AC_FNCD1 <> '111055',0,IIF(AC_DC = 'D',AC_AMT,AC_AMT * -1))) AS "
           "pCARD,PE_DAMT," +
           " PE_RPOINT + PE_DPOINT AS pPOINT,MAX(AC_UCODE) AS pUCODE,PE_DPOINT AS "
           "pRPOINT,PE_SD,PE_SDATE," +
           " PE_EDATE,PE_NTBID,PE_PSN,PE_BAMT,PE_SVC,PE_TIP,SUM(IIF(AC_FNCD1 <> '111050' AND "
           "AC_FNCD1 <> '211060',0,1)) AS pDCNUM, " +
           (withMemberCode ? " IIF(ISNULL(PE.PE_BAN),'',PE.PE_BAN) AS PE_BAN, PE_MEMCODE "
                           : " IIF(ISNULL(PE.PE_BAN),'',PE.PE_BAN) AS PE_BAN ") +
           " FROM PE LEFT JOIN AC ON PE.PE_ID = AC.PE_ID " + UnsentHeaderCondition + dateFilter +
           " GROUP BY PE.PE_ID,PE_DATE,CT_CODE,CT_NAME,PE_AMT,PE_VAT,PE_TOT,PE_DAMT,PE_RPOINT + "
           "PE_DPOINT,PE_DPOINT,PE_SD,PE_SDATE," +
           (withMemberCode ? " PE_EDATE,PE_NTBID,PE_PSN,PE_BAMT,PE_SVC,PE_TIP,PE_BAN, PE_MEMCODE "
                             "ORDER BY PE.PE_ID "
                           : " PE_EDATE,PE_NTBID,PE_PSN,PE_BAMT,PE_SVC,PE_TIP,PE_BAN ORDER BY "
                             "PE.PE_ID ");
}

std::string restaurantAccounting(const std::string& dateFilter) {
    return std::string(
               " SELECT PE.PE_ID AS PEID, AC_NO,'1' AS ACCK,'15' AS ACGU,'D' AS "
               "ACDC,AC_PDATE,AC_SDATE,AC_CTCODE,AC_CTNAME,AC_FNCD1,") +
           " IIF(AC_FNCD1 = '111010','00',AC_FNCD2) AS FNCD2,AC_AMT,IIF(AC_FNCD1 = '211021',' "
           "',AC_REM1) AS ACREM1,IIF(AC_FNCD1 = '211021',' ',AC_REM2) AS ACREM2," +
           " AC_REM3 AS ACREM3,IIF(AC_FNCD1 = '211021',PE_DPOINT,AC_REM4) AS ACREM4,PE_RPOINT + "
           "PE_DPOINT AS ACREM5,AC_UCODE FROM PE LEFT JOIN AC ON AC.PE_ID = PE.PE_ID " +
           " WHERE PE_CK <> 0 AND IIf(IsNull(PE_SD), 0, PE_SD) <> 7 AND AC_GU <> 'AC73' " +
           dateFilter + " ORDER BY PE.PE_ID, AC_NO ";
}

std::string restaurantLines(const std::string& dateFilter) {
    return std::string(
               " SELECT PE.PE_ID AS PE_ID,PS_NO,PS_DATE,'' AS pPOS,PS_PRNAME,'Ea' AS "
               "pUNT,PS_UP,PS_QTY,PS_AMT,PS_VAT,PR_CODE,PR_NAME,PR_TAX,PR_COST,PS_TYPE,PS_DC ") +
           " FROM (PE LEFT JOIN PS ON PE.PE_ID = PS.PE_ID) LEFT JOIN PR ON PS.PS_PRCODE = "
           "PR.PR_CODE " +
           UnsentHeaderCondition + dateFilter + " ORDER BY PE.PE_ID,PS_NO ";
}

std::string restaurantCards() {
    return std::string(
               " SELECT "
               "AC_ID,AC_BILLNO,CD_DATE,CD_GU,CD_NO,CD_MONTH,CD_NAME,CD_CTNAME,CD_INS,CD_AMT,CD_"
               "CTNO,CD_APRNO,CD_SD ") +
           " FROM CREDIT " + " WHERE " + " CD_SD <> 7 " + " ORDER BY AC_ID,AC_BILLNO ";
}

std::string restaurantDelivery(const std::string& dateFilter) {
    return std::string(
               " SELECT PE.PE_ID AS PE_ID, D_CODE,D_NAME, D_TEL, D_RNAME, D_RTEL, D_ZIP, (D_ADDR1 "
               "& ' ' & D_ADDR2) AS ADDR, D_MEMO ") +
           " FROM   PE INNER JOIN DELIVERY ON PE.PE_ID = DELIVERY.PE_ID " +
           " WHERE  PE_CK <> 0 AND IIf(IsNull(PE_SD), 0, PE_SD) <> 7 " + dateFilter +
           " ORDER BY PE.PE_ID ";
}

std::string restaurantGuests() {
    return std::string(" SELECT PE.PE_ID AS PE_ID, PSN_MAN, PSN_WOMAN, PSN_PGRADE, PSN_ETC ") +
           " FROM   PE INNER JOIN PSN ON PE.PE_ID = PSN.PE_ID " +
           " WHERE  PE_CK <> 0 AND IIf(IsNull(PE_SD), 0, PE_SD) <> 7 ";
}

std::string restaurantDateFilter(const std::string& yesterday, const std::string& today) {
    return " AND format(PE_EDATE,'yyyy-mm-dd')   BETWEEN '" + yesterday + "' AND '" + today + "' ";
}

std::string restaurantUnsentCount() {
    return std::string(
               " SELECT PE.PE_ID as PE_ID,PE_DATE,IIF(ISNULL(CT_CODE) = TRUE,'',CT_CODE) AS "
               "CTCODE,") +
           " IIF(ISNULL(CT_NAME) = TRUE,'',CT_NAME) AS CTNAME,PE_AMT,PE_VAT,PE_TOT," +
           " SUM(IIF(AC_FNCD1 <> '111050',0,IIF(AC_DC = 'D',AC_AMT,AC_AMT * -1))) AS pMISU," +
           " SUM(IIF(AC_FNCD1 <> '111010',0,IIF(AC_DC = 'D',AC_AMT,AC_AMT * -1))) AS pCASH," +
           " SUM(IIF(AC_FNCD1 <> '111055',0,IIF(AC_DC = 'D',AC_AMT,AC_AMT * -1))) AS "
           "pCARD,PE_DAMT," +
           " PE_RPOINT + PE_DPOINT AS pPOINT,MAX(AC_UCODE) AS pUCODE,PE_DPOINT AS "
           "pRPOINT,PE_SD,PE_SDATE," +
           " PE_EDATE,PE_NTBID,PE_PSN,PE_BAMT,PE_SVC,PE_TIP,SUM(IIF(AC_FNCD1 <> '111050' AND "
           "AC_FNCD1 <> '211060',0,1)) AS pDCNUM FROM PE LEFT JOIN AC ON PE.PE_ID = AC.PE_ID " +
           " Where PE_CK <> 0 AND IIf(IsNull(PE_SD), 0, PE_SD) <> 7 " +
           " GROUP BY PE.PE_ID,PE_DATE,CT_CODE,CT_NAME,PE_AMT,PE_VAT,PE_TOT,PE_DAMT,PE_RPOINT + "
           "PE_DPOINT,PE_DPOINT,PE_SD,PE_SDATE," +
           " PE_EDATE,PE_NTBID,PE_PSN,PE_BAMT,PE_SVC,PE_TIP ORDER BY PE.PE_ID ";
}

std::string retailHeaderWindow(const std::string& yesterday, const std::string& today) {
    return " and  format(SL_DATE,'yyyy-mm-dd')   BETWEEN '" + yesterday + "' AND '" + today + "' ";
}

std::string retailLineWindow(const std::string& start, const std::string& today,
                             const std::string* leaveOutPosition) {
    std::string window =
        " where format(SSL_DATE,'yyyy-mm-dd')  BETWEEN '" + start + "' AND '" + today;
    if (leaveOutPosition) {
        return window + "' AND SSL_POS <> '" + *leaveOutPosition + "' ";
    }
    return window + "' ";
}

std::string retailLines(const std::string& lineWindow) {
    return std::string(
               " SELECT SL_ID,SSL_NO,SSL_DATE,SSL_POS,SSL_MENU,SSL_UNIT,SSL_PRICE,SSL_QTY,SSL_AMT,"
               "SSL_VAT,MENU_CODE,MENU_NAME,MENU_CK,SSL_INAMT,SSL_GU ") +
           " FROM  SSL INNER JOIN MENU ON SSL.SSL_POS = MENU.MENU_POS " + lineWindow +
           " ORDER BY SL_ID,SSL_NO ";
}

std::string retailOption(const std::string& code) {
    return " SELECT BS_M1 FROM BAS WHERE BAS_CODE ='" + code + "'";
}

std::string retailHeaders(const std::string& headerWindow) {
    return std::string(
               " SELECT "
               "SL_ID,SL_DATE,SL_MEMNO,SL_MEMNAME,SL_SALEAMT,SL_TAX,SL_SUBTOTE,SL_MISU,SL_CASH,SL_"
               "CARD,SL_SAVEAMT,") +
           " SL_MEMCPOINT,SL_UCODE,SL_NO "
           ",SL_PAYAMT,SL_CHANGE,SL_MEMRPOINT,SL_APRNO,SL_CARDNO,SL_CARDNAME,SL_SND,SL_UPOINT, "
           "SL_EDATE , SL_UPTRANSNO " +
           " FROM SL " + " WHERE iif(SL_SND is null,0,SL_SND) <> 7 " + headerWindow +
           " ORDER BY SL_ID,SL_NO ";
}

std::string retailUnsentCount() {
    return std::string(
               " SELECT "
               "SL_ID,SL_DATE,SL_MEMNO,SL_MEMNAME,SL_SALEAMT,SL_TAX,SL_SUBTOTE,SL_MISU,SL_CASH,SL_"
               "CARD,SL_SAVEAMT,") +
           "        SL_MEMCPOINT,SL_UCODE,SL_NO "
           ",SL_PAYAMT,SL_CHANGE,SL_MEMRPOINT,SL_APRNO,SL_CARDNO,SL_CARDNAME,SL_SND,SL_UPOINT " +
           " FROM SL " + " WHERE iif(SL_SND is null,0,SL_SND) <> 7 ORDER BY SL_ID,SL_NO ";
}

std::string retailCards() {
    return std::string(
               " SELECT "
               "C_SLID,C_DATE,C_SLTBID,C_SLNO,C_GU,C_CARD,C_CARDNAME,C_CARDNO,C_CARDMN,C_APRNO,C_"
               "UCODE,C_UNAME,C_SND ") +
           " FROM  CREDIT " + " WHERE  " + " C_SND <> 7 ";
}

std::string retailDeletedLines() {
    return std::string(
               " SELECT DEL_DATE, DEL_POS, DEL_MENU, DEL_UNIT, DEL_PRICE, DEL_QTY, DEL_AMT, "
               "DEL_NO, DEL_SD, DEL_ID ") +
           " FROM   DELSSL " + " WHERE  IIF(ISNULL(DEL_SD)=TRUE,'',DEL_SD) <> '7' ";
}

}  // namespace veldon::queries

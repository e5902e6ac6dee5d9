// Portal pages and answers shared by the portal document and connection tests.
#pragma once

namespace orvane_test {

// A portal page as the gateway's redirect delivers it, configuration block included.
inline const char* PortalPage() {
    return R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Campus network</title>
<script>var gateway = "10.9.0.1"; if (a < b && c) { go(); }</script></head>
<body><!-- layout: login panel -->
<!--//auth.orvane.local
<config>
  <ticket-url>http://10.9.0.2:8080/ticket.cgi</ticket-url>
  <query-url>http://10.9.0.2:8080/query.cgi</query-url>
  <auth-url>http://10.9.0.2:8080/auth.cgi</auth-url>
  <state-url>http://10.9.0.2:8080/state.cgi</state-url>
  <state-interval>30</state-interval>
  <notify><register>r-one</register><register>r-two</register><option>opt</option></notify>
  <account><modify><type>suffix</type><value>@campus</value></modify></account>
  <auth><type>vxr-http-pap</type><default>yes</default></auth>
  <auth><type>vxr-mobile-qr</type><default>0</default></auth>
  <server-clusters servers="10.9.0.2:8080,10.9.0.3:8080"/>
  <user-config><against-interval>120</against-interval><logout-delay>45</logout-delay><against><item>hostapd</item></against></user-config>
  <FunCfg><StatsInfor url="http://10.9.0.5/stats" interval="600"/><Update><url>http://10.9.0.6/update</url></Update></FunCfg>
</config>
//auth.orvane.local-->
<form action="/login" method="post"><input name="user"></form>
</body></html>
)";
}

}  // namespace orvane_test

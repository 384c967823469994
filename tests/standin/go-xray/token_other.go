//go:build !windows

package main

// Only Windows tells a token apart; elsewhere the account is the test's.
func recordToken() {}

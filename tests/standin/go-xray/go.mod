module ombrel.test/standin-go-xray

go 1.19
